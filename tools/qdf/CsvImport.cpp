#include "CsvImport.h"

#include <string>

#include "base/QdfException.h"
#include "record/Field.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "table/Table.h"

namespace qdf::tool {

namespace {

// Runs `step`. A refusal of the engine or a conversion error comes back as
// an Exception that starts with `where()`; faults of the engine itself
// (assertions, list and hash errors, anything that is no engine exception)
// pass on unchanged, so that they are never taken for bad input.
template <class Where, class Step, class Undo>
void Naming(const Where& where, const Step& step, const Undo& undo) {
  try {
    step();
  } catch (const EAssertionFailed&) {
    throw;
  } catch (const EAListError&) {
    throw;
  } catch (const EHashList&) {
    throw;
  } catch (const Exception& e) {
    undo();
    throw Exception(where() + e.Message());
  }
}

}  // namespace

std::vector<TQdfField*> MapCsvHeader(TCsvReader& csv, TQdfTable& table) {
  if (!csv.Next()) throw Exception(csv.Name() + ": empty file, no header line with field names");
  TQdfItemClass* cls = table.ItemClass();
  std::vector<TQdfField*> fields;
  for (int i = 0; i < csv.Count(); ++i) {
    const std::string& name = csv.Field(i);
    TQdfField* field = cls != nullptr ? cls->FieldByName(name) : nullptr;
    if (field == nullptr) {
      throw Exception(csv.Name() + " line " + std::to_string(csv.RecordLine()) + ": table " +
                      table.ObjectName() + " has no field '" + name + "'");
    }
    for (TQdfField* seen : fields) {
      if (seen == field) {
        throw Exception(csv.Name() + " line " + std::to_string(csv.RecordLine()) + ": field '" +
                        name + "' named twice");
      }
    }
    fields.push_back(field);
  }
  return fields;
}

int64_t ImportCsvRecords(TCsvReader& csv, TQdfTable& table, const std::vector<TQdfField*>& fields,
                         const std::function<void(int64_t)>& progress) {
  const TQdfField* this_id = table.ItemClass()->ThisIDField();
  int64_t rows = 0;
  while (csv.Next()) {
    // Only an error message spends an allocation on the line's name.
    auto where = [&] { return csv.Name() + " line " + std::to_string(csv.RecordLine()); };
    if (csv.Count() != static_cast<int>(fields.size())) {
      throw Exception(where() + ": " + std::to_string(csv.Count()) + " values, the header names " +
                      std::to_string(fields.size()));
    }
    table.Insert();
    for (size_t i = 0; i < fields.size(); ++i) {
      const std::string& value = csv.Field(static_cast<int>(i));
      if (value.empty() || fields[i] == this_id) continue;
      Naming([&] { return where() + ", field " + fields[i]->ObjectName() + ": "; },
             [&] { fields[i]->SetAsString(value); }, [&] { table.Cancel(); });
    }
    Naming([&] { return where() + ": "; }, [&] { table.Post(); }, [] {});
    ++rows;
    if (progress) progress(rows);
  }
  return rows;
}

}  // namespace qdf::tool

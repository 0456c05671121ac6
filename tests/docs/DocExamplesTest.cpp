// Runs the examples of the user documentation (docs/*.md) and compares their
// output with the text written in the documents.
//
// An example is a fenced block whose info string is "console". Each line that
// starts with "$ " is a shell command; the lines after it, up to the next
// command or the end of the block, are its expected output (standard output
// and standard error together, in order). A leading word "qdf" is replaced by
// the built tool. All console blocks of one document run in order in one fresh
// temporary folder, which is also the command's QUILLON_CONFIG_DIR and TMPDIR.
//
// C++ examples: a fenced block whose info string is "cpp examples/<Name>.cpp"
// shows that example program whole; its text must equal the file's, which
// the build compiles as example_<Name>. A command whose first word is
// "example_<Name>" runs that program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ProcessRun.h"
#include "TestDir.h"

namespace {

// ---- parsing the documents ----

struct TDocExample {
  int line = 0;          // 1-based line of the "$ " command
  std::string command;   // without the "$ "
  std::string expected;  // each line with its '\n'
};

// A "cpp examples/<Name>.cpp" block: the file it shows and its text.
struct TDocSource {
  int line = 0;  // 1-based line of the opening fence
  std::string file;
  std::string text;
};

struct TParsedDoc {
  std::vector<TDocExample> examples;
  std::vector<TDocSource> sources;
  std::string error;  // empty when the document is well formed
};

// A block opens with a line that starts with "```", followed by its kind
// ("console", "cpp examples/<Name>.cpp", ...), and closes with a line that
// is "```" alone.
TParsedDoc ParseDoc(const std::string& text) {
  TParsedDoc doc;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  int block_line = 0;
  bool in_block = false;
  bool console = false;
  TDocExample* current = nullptr;
  TDocSource* source = nullptr;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!in_block) {
      if (line.rfind("```", 0) == 0) {
        const std::string info = line.substr(3);
        in_block = true;
        block_line = number;
        console = info == "console";
        current = nullptr;
        source = nullptr;
        if (info.rfind("cpp ", 0) == 0) {
          doc.sources.push_back(TDocSource{number, info.substr(4), std::string()});
          source = &doc.sources.back();
        }
      }
      continue;
    }
    if (line == "```") {
      in_block = false;
      continue;
    }
    if (source != nullptr) source->text += line + "\n";
    if (!console) continue;
    if (line.rfind("$ ", 0) == 0) {
      doc.examples.push_back(TDocExample{number, line.substr(2), std::string()});
      current = &doc.examples.back();
    } else if (current == nullptr) {
      doc.error = "line " + std::to_string(number) + ": output before the first \"$ \" command";
      return doc;
    } else {
      current->expected += line + "\n";
    }
  }
  if (in_block) {
    doc.error = "line " + std::to_string(block_line) + ": code block is never closed";
  }
  return doc;
}

// ---- running the commands ----

#ifdef QDF_TOOL_EXE

// "qdf" as the first word of a command stands for the built tool.
// "example_<Name>" stands for the built example program.
std::string ExpandCommand(const std::string& command) {
  if (command == "qdf" || command.rfind("qdf ", 0) == 0) {
    return std::string(QDF_TOOL_EXE) + command.substr(3);
  }
#ifdef QDF_EXAMPLES_DIR
  if (command.rfind("example_", 0) == 0) return std::string(QDF_EXAMPLES_DIR) + "/" + command;
#endif
  return command;
}

// Runs `command` in `dir`; returns standard output and standard error as one
// text. A command that runs longer than a minute is killed.
std::string RunCommand(const std::string& command, const std::string& dir) {
  qdf_test::TRunOptions options;
  options.dir = dir;
  const qdf_test::TRunResult r = qdf_test::RunProcess(ExpandCommand(command), options);
  return r.timed_out ? r.output + "<killed after 60 s>\n" : r.output;
}

#endif

// ---- one test per document ----

std::vector<std::string> DocFiles() {
  std::vector<std::string> files;
#ifdef QDF_DOCS_DIR
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(QDF_DOCS_DIR, ec)) {
    if (entry.is_regular_file() && entry.path().extension() == ".md") {
      files.push_back(entry.path().filename().string());
    }
  }
  std::sort(files.begin(), files.end());
#endif
  if (files.empty()) files.push_back("");  // one test that reports the missing folder
  return files;
}

// Named so that --gtest_filter='DocExamples*' selects the pages too:
// DocExamples/DocPage.OutputsMatch/<page>.
class DocPage : public ::testing::TestWithParam<std::string> {};

TEST_P(DocPage, OutputsMatch) {
#if !defined(QDF_DOCS_DIR)
  GTEST_SKIP() << "QDF_DOCS_DIR is not defined";
#elif !defined(QDF_TOOL_EXE)
  GTEST_SKIP() << "the qdf tool is not built";
#else
  if (GetParam().empty()) GTEST_SKIP() << "no documents in " << QDF_DOCS_DIR;
  const std::string name = GetParam();
  std::ifstream in(std::string(QDF_DOCS_DIR) + "/" + name, std::ios::binary);
  ASSERT_TRUE(in) << "cannot read " << name;
  std::stringstream buffer;
  buffer << in.rdbuf();
  const TParsedDoc doc = ParseDoc(buffer.str());
  ASSERT_EQ(doc.error, "") << name;
#ifdef QDF_SOURCE_DIR
  for (const TDocSource& source : doc.sources) {
    std::ifstream file(std::string(QDF_SOURCE_DIR) + "/" + source.file, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_TRUE(file.is_open()) << name << ":" << source.line << ": no file " << source.file;
    EXPECT_EQ(source.text, text.str())
        << name << ":" << source.line << ": the block differs from " << source.file;
  }
#endif
  qdf_test::TTestDir dir;
  std::string path = dir.Path();
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  for (const TDocExample& example : doc.examples) {
    const std::string actual = RunCommand(example.command, path);
    EXPECT_EQ(actual, example.expected)
        << name << ":" << example.line << ": $ " << example.command << "\n--- expected\n"
        << example.expected << "--- actual\n"
        << actual << "---";
  }
#endif
}

std::string DocTestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string n;
  for (char c : info.param) n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return n.empty() ? std::string("none") : n;
}

INSTANTIATE_TEST_SUITE_P(DocExamples, DocPage, ::testing::ValuesIn(DocFiles()), DocTestName);

}  // namespace

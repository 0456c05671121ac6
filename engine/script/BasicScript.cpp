// The scanner, registration and item descriptions of TBasicScript. The
// parser lives in Parser.cpp, the cast table in CastTable.cpp.
#include "script/BasicScript.h"

#include <algorithm>
#include <cstring>

#include "base/Helpers.h"
#include "base/QdfException.h"
#include "base/Variant.h"

namespace qdf {

namespace {

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
inline bool IsBlank(char c) { return c >= 1 && static_cast<uint8_t>(c) <= 32; }

// Bytes that always stand alone as an operator token.
inline bool IsSingleOperator(char c) { return c != 0 && std::strchr("()[]{}@,;^", c) != nullptr; }

constexpr uint64_t kTwoTo31 = uint64_t{1} << 31;
constexpr uint64_t kTwoTo63 = uint64_t{1} << 63;
constexpr size_t kErrorContext = 100;

}  // namespace

TBasicScript::TBasicScript()
    : result_(std::make_unique<TParserResultList>()),
      receiver_(result_.get()),
      book_(std::make_unique<TScriptBook>(this)) {
  handlers_.fill(&TBasicScript::RejectChar);
  for (int c = 0; c <= 32; ++c) handlers_[c] = &TBasicScript::SkipWhitespace;
  for (int c = 'A'; c <= 'Z'; ++c) handlers_[c] = &TBasicScript::ScanIdentifier;
  for (int c = 'a'; c <= 'z'; ++c) handlers_[c] = &TBasicScript::ScanIdentifier;
  handlers_['_'] = &TBasicScript::ScanIdentifier;
  handlers_['\''] = &TBasicScript::ScanString;
  handlers_['"'] = &TBasicScript::ScanString;
  for (int c = '0'; c <= '9'; ++c) handlers_[c] = &TBasicScript::ScanNumber;
  for (const char* p = "()[]{}@,;<>=+-*/~!|$%&?:#~^."; *p != 0; ++p)
    handlers_[static_cast<uint8_t>(*p)] = &TBasicScript::ScanOperator;
  handlers_['/'] = &TBasicScript::ScanCommentOrOperator;
  handlers_[':'] = &TBasicScript::ScanParameterOrOperator;
}

TBasicScript::~TBasicScript() {
  // Cast words tell their script when they go; the script is going first.
  book_->SetScript(nullptr);
  book_.reset();
}

TScriptWord* TBasicScript::UnknownWord(const std::string& name) {
  return unknown_word_handler_ ? unknown_word_handler_(name) : nullptr;
}

std::string TBasicScript::TypeName(TScriptType code) const {
  return ScriptTypeName(code & kTypeMask);
}

// ---- character handlers ----------------------------------------------------------

void TBasicScript::RejectChar(const char*& /*pos*/, TToken& /*token*/) {
  throw Exception("unexpected Char");
}

void TBasicScript::SkipWhitespace(const char*& pos, TToken& /*token*/) {
  while (IsBlank(*pos)) ++pos;
}

void TBasicScript::ScanIdentifier(const char*& pos, TToken& token) {
  const char* p = pos;
  while (IsLetter(*p) || IsDigit(*p)) ++p;
  token.text.assign(pos, p);
  token.valid = true;
  token.kind = kWfNamed;
  token.type = kTypeNull;
  pos = p;
}

void TBasicScript::ScanNumber(const char*& pos, TToken& token) {
  const char* p = pos;
  uint64_t value = 0;
  bool overflow = false;
  for (; IsDigit(*p); ++p) {
    const unsigned d = static_cast<unsigned>(*p - '0');
    if (!overflow) {
      if (value > (UINT64_MAX - d) / 10) {
        overflow = true;  // keep reading digits
      } else {
        value = value * 10 + d;
      }
    }
  }
  bool real = false;
  if (*p == '.' && IsDigit(p[1])) {
    p += 2;
    while (IsDigit(*p)) ++p;
    real = true;
  }
  if (*p == 'E' || *p == 'e') {
    const char* q = p + 1;
    if (*q == '+' || *q == '-') ++q;
    if (!IsDigit(*q)) return;  // exponent without digits: no number here
    while (IsDigit(*q)) ++q;
    p = q;
    real = true;
  }
  if (IsLetter(*p)) return;  // "12abc": no number here
  token.text.assign(pos, p);
  token.valid = true;
  token.kind = kWfLiteral;
  if (real || overflow || value >= kTwoTo63) {
    token.type = kTypeDouble;
  } else if (value >= kTwoTo31) {
    token.type = kTypeInt64;
  } else {
    token.type = kTypeInteger;
  }
  pos = p;
}

void TBasicScript::ScanString(const char*& pos, TToken& token) {
  const char quote = *pos;
  const char* p = pos + 1;
  std::string value;
  for (;;) {
    const char c = *p;
    if (c == 0 || c == '\r' || c == '\n') return;  // unterminated
    if (c == quote) {
      ++p;
      while (IsBlank(*p)) ++p;
      if (*p == quote) {  // an adjacent piece continues the string
        ++p;
        continue;
      }
      break;
    }
    if (c == '\\') {
      const char n = p[1];
      if (n == '"' || n == '\'') {
        value += n;
        p += 2;
        continue;
      }
      if (n == '\n') {  // line continuation
        p += 2;
        continue;
      }
      if (n == '\r') {
        if (p[2] != '\n') return;
        p += 3;
        continue;
      }
      if (n == '#') {
        switch (p[2]) {
          case 'n':
          case 'N':
            value += "\r\n";
            p += 3;
            continue;
          case 'l':
          case 'L':
            value += '\n';
            p += 3;
            continue;
          case 'c':
          case 'C':
            value += '\r';
            p += 3;
            continue;
          case 't':
          case 'T':
            value += '\t';
            p += 3;
            continue;
          case '\'':
          case '"':
            value += p[2];
            p += 3;
            continue;
          case '#':
            value += "\\#";
            p += 3;
            continue;
          default:
            value += "\\#";
            p += 2;
            continue;
        }
      }
      value += '\\';  // the byte after it is read normally
      ++p;
      continue;
    }
    value += c;
    ++p;
  }
  token.text = std::move(value);
  token.valid = true;
  token.kind = kWfLiteral;
  token.type = kTypePChar;
  pos = p;
}

void TBasicScript::ScanOperator(const char*& pos, TToken& token) {
  const char first = *pos;
  const char* p = pos + 1;
  if (!IsSingleOperator(first)) {
    for (;;) {
      const char c = *p;
      if (IsSingleOperator(c)) break;
      if (c == '>') {
        if (first == '<') {  // "<>"
          ++p;
          break;
        }
        if (first != '>') break;
        ++p;
        continue;
      }
      if (c == first) {
        ++p;
        continue;
      }
      if (c == '=') {
        ++p;
        break;
      }
      break;
    }
  }
  token.text.assign(pos, p);
  token.valid = true;
  token.kind = kWfOperation;
  token.type = kTypeNull;
  pos = p;
}

void TBasicScript::ScanCommentOrOperator(const char*& pos, TToken& token) {
  if (pos[1] == '*') {
    int depth = 0;
    for (const char* q = pos + 2; *q != 0;) {
      if (q[0] == '/' && q[1] == '*') {
        ++depth;
        q += 2;
      } else if (q[0] == '*' && q[1] == '/') {
        q += 2;
        if (depth == 0) {
          pos = q;
          return;
        }
        --depth;
      } else {
        ++q;
      }
    }
    return;  // unterminated: the position stays and the scan fails
  }
  if (pos[1] == '/') {
    const char* q = pos + 2;
    while (*q != 0 && *q != '\r' && *q != '\n') ++q;
    if (*q == '\r') ++q;
    if (*q == '\n') ++q;
    pos = q;
    return;
  }
  ScanOperator(pos, token);
}

void TBasicScript::ScanParameterOrOperator(const char*& pos, TToken& token) {
  if (!IsLetter(pos[1])) {
    ScanOperator(pos, token);  // ":", "::", ":="
    return;
  }
  const char* p = pos + 1;
  ScanIdentifier(p, token);
  token.text.insert(token.text.begin(), ':');  // the name keeps its colon
  pos = p;
}

// ---- scanning ------------------------------------------------------------------

bool TBasicScript::ScanToken(const char*& pos, TToken& token) {
  token = TToken();
  while (*pos != 0) {
    const char* before = pos;
    (this->*handlers_[static_cast<uint8_t>(*pos)])(pos, token);
    if (token.valid) return true;
    if (pos == before) return false;
  }
  return false;
}

std::vector<std::string> TBasicScript::ParameterNames(std::string_view text) {
  const std::string copy(text);
  std::vector<std::string> names;
  const char* pos = copy.c_str();
  TToken token;
  try {
    while (ScanToken(pos, token)) {
      if (token.kind != kWfNamed || token.text.size() < 2 || token.text[0] != ':') continue;
      const std::string name = token.text.substr(1);
      // Words are looked up without regard to case: ":LO" is ":lo".
      auto same = [&](const std::string& n) { return CompareText(n, name) == 0; };
      if (std::none_of(names.begin(), names.end(), same)) names.push_back(name);
    }
  } catch (const Exception&) {
    // A character no handler takes: Scan reports it when the text compiles.
  }
  return names;
}

void TBasicScript::Scan(std::string_view text) {
  if (receiver_ == nullptr) throw Exception("no Context for parsing");
  receiver_->Clear();
  text_.assign(text);
  pos_ = text_.c_str();
  TToken token;
  while (*pos_ != 0) {
    const char* before = pos_;
    token.valid = false;
    (this->*handlers_[static_cast<uint8_t>(*pos_)])(pos_, token);
    if (token.valid) {
      BuildItem(token);  // a parse-time handler may move pos_ further
    } else if (pos_ == before) {
      const size_t len = std::strlen(pos_);
      throw Exception("Error at: " + std::string(pos_, len < kErrorContext ? len : kErrorContext));
    }
  }
}

void TBasicScript::BindItem(TParseItem* item, const TScriptWord* word) {
  item->info = word->Info();
}

void TBasicScript::BuildItem(const TToken& token) {
  TParseItem* item = receiver_->NewItem();
  TWordInfo& info = item->info;
  if (token.kind == kWfLiteral) {
    info.flags = kWfLiteral;
    info.type = token.type;
    info.text = token.text;
    switch (token.type) {
      case kTypeInteger:
        info.value.i = TextToInt32(token.text);
        break;
      case kTypeInt64:
        info.value.i64 = TextToInt64(token.text);
        break;
      case kTypeDouble:
        info.value.d = TextToDouble(token.text);
        break;
      default:
        break;
    }
    receiver_->Append(item);
    return;
  }
  TScriptWord* word = book_->FindWord(token.text);
  if (word == nullptr) word = UnknownWord(token.text);
  if (word == nullptr && token.kind == kWfNamed && token.text[0] == ':') {
    // Never a text: a parameter that nothing binds would compare as one.
    throw Exception("Parameter " + token.text + " is not bound");
  }
  if (word == nullptr) {
    info.flags = kWfNamed;
    info.type = kTypeToken;
    info.text = token.text;
    receiver_->Append(item);
    return;
  }
  BindItem(item, word);
  if (word->ParseHandler() && word->ParseHandler()(*this, *word, pos_)) return;
  receiver_->Append(item);
}

// ---- registration ------------------------------------------------------------------

TScriptWord* TBasicScript::AddWord(TScriptWords* section, std::string_view name,
                                   const TNodeClass* node_class, uint16_t flags,
                                   uint16_t precedence, std::vector<TScriptType> args,
                                   TScriptType result) {
  // Values (constants, variables, object words), separators and member words
  // keep their flags; everything else is an operation binding to the right.
  if ((flags & (kWfValue | kWfSeparator | kWfMember)) == 0) flags |= kWfOperator;
  auto word = std::make_unique<TScriptWord>(section);
  word->SetNodeClass(node_class);
  word->SetArgTypes(std::move(args));
  TWordInfo& info = word->Info();
  info.flags = flags;
  info.type = result;
  info.precedence = precedence;
  TScriptWord* added = book_->AddWord(section, name, word.get());
  word.release();
  return added;
}

TScriptWord* TBasicScript::AddFunction(TScriptWords* section, std::string_view name,
                                       const TNodeClass* node_class, std::vector<TScriptType> args,
                                       TScriptType result) {
  return AddWord(section, name, node_class, kWfFunction, 255, std::move(args), result);
}

TScriptWord* TBasicScript::AddCast(TScriptWords* section, const TNodeClass* node_class,
                                   TScriptType from, TScriptType to, uint16_t cost) {
  return AddWord(section, kCastWordName, node_class, 0, cost, {from}, to);
}

// ---- descriptions -------------------------------------------------------------------

std::string TBasicScript::Describe(const TParseItem& item) const {
  const TWordInfo& info = item.info;
  if (info.word != nullptr) {
    if (info.flags & kWfFunction) return TypeName(info.type) + " function " + info.word->Name();
    if (info.flags & kWfOperation) return TypeName(info.type) + " operator " + info.word->Name();
    return info.word->Name();
  }
  std::string value;
  switch (info.type & kTypeMask) {
    case kTypeInteger:
      value = std::to_string(info.value.i);
      break;
    case kTypeInt64:
      value = std::to_string(info.value.i64);
      break;
    case kTypeDouble:
    case kTypeDateTime:
      value = DoubleToText(info.value.d);
      break;
    case kTypeBoolean:
      value = info.value.b ? "True" : "False";
      break;
    default:
      value = info.text;
      break;
  }
  return TypeName(info.type) + " (" + value + ")";
}

}  // namespace qdf

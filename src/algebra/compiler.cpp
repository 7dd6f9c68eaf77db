#include "algebra/compiler.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "kernels/algebra_math.hpp"

namespace velmorin {
namespace {

bool is_operator_char(char c) {
  switch (c) {
    case '!':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case '-':
    case '/':
    case '<':
    case '=':
    case '>':
      return true;
    default:
      return false;
  }
}

bool starts_literal(const std::string& token) {
  return !token.empty() && (std::isdigit(static_cast<unsigned char>(token[0])) || token[0] == '.');
}

// A literal such as "1e" or "2.5E" whose next character is the exponent's sign.
bool awaits_exponent_sign(const std::string& token) {
  if (!starts_literal(token) || token.size() < 2) return false;
  const char last = token.back();
  if (last != 'e' && last != 'E') return false;
  return std::all_of(token.begin(), token.end() - 1, [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
  });
}

struct FunctionInfo {
  const char* name;
  int32_t opcode;
  int arity;
};

constexpr FunctionInfo kFunctions[] = {
    {"where", kSelect, 3}, {"clamp", kClamp, 3}, {"inrange", kInRange, 3}, {"min", kMin, 2},
    {"max", kMax, 2},      {"and", kAnd, 2},     {"or", kOr, 2},           {"not", kNot, 1},
    {"sqrt", kSqrt, 1},    {"abs", kAbs, 1},     {"log", kLog, 1},         {"exp", kExp, 1},
    {"log10", kLog10, 1},  {"pow", kPow, 2},
};

const FunctionInfo* find_function(const std::string& name) {
  for (const FunctionInfo& f : kFunctions)
    if (name == f.name) return &f;
  return nullptr;
}

int32_t comparison_opcode(const std::string& token) {
  if (token == ">") return kGreater;
  if (token == "<") return kLess;
  if (token == ">=") return kGreaterEqual;
  if (token == "<=") return kLessEqual;
  if (token == "==") return kEqual;
  if (token == "!=") return kNotEqual;
  return -1;
}

bool is_band_token(const std::string& token) {
  return token.size() >= 2 && token[0] == 'B' &&
         std::all_of(token.begin() + 1, token.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

float parse_literal(const std::string& token) {
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  const float value = std::strtof(begin, &end);
  if (end == begin) throw std::invalid_argument("invalid stof argument");
  if (errno == ERANGE && std::isinf(value)) throw std::out_of_range("stof argument out of range");
  if (*end != '\0') throw std::invalid_argument("Invalid number '" + token + "' in expression");
  return value;
}

int32_t parse_band_number(const std::string& token) {
  errno = 0;
  const long long number = std::strtoll(token.c_str() + 1, nullptr, 10);
  if (errno == ERANGE || number > INT32_MAX) throw std::out_of_range("stoi argument out of range");
  if (number < 1)
    throw std::invalid_argument("Band " + token + " does not exist: bands are numbered from B1");
  return int32_t(number);
}

// Recursive descent over the tokens, emitting postfix. Precedence, lowest first:
// comparisons, + -, * /, unary minus; all binary operators are left-associative.
class Parser {
 public:
  Parser(const std::string& expression, std::vector<std::string> tokens,
         std::vector<int32_t>& bands)
      : expression_(expression), tokens_(std::move(tokens)), bands_(bands) {}

  std::vector<Instruction> run() {
    if (tokens_.empty()) fail("Empty expression");
    parse_comparison();
    if (pos_ < tokens_.size()) {
      const std::string& token = tokens_[pos_];
      if (token == ")") fail("Unbalanced parentheses: unexpected ')'");
      if (is_operator_char(token[0])) fail("unexpected '" + token + "'");
      fail("unexpected '" + token + "'; an operator is missing");
    }
    return std::move(program_);
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::invalid_argument("Invalid expression '" + expression_ + "': " + what);
  }
  const std::string* peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  void expect(const char* token) {
    const std::string* t = peek();
    if (t == nullptr) {
      if (std::string(token) == ")") fail("Unbalanced parentheses: missing ')'");
      fail(std::string("expected '") + token + "' at the end");
    }
    if (*t != token) fail(std::string("expected '") + token + "' but found '" + *t + "'");
    ++pos_;
  }
  void emit(int32_t opcode, float value = 0.0f, int32_t index = -1) {
    program_.push_back(Instruction{opcode, value, index});
  }

  void parse_comparison() {
    parse_additive();
    for (const std::string* t = peek(); t && comparison_opcode(*t) >= 0; t = peek()) {
      const int32_t op = comparison_opcode(*t);
      ++pos_;
      parse_additive();
      emit(op);
    }
  }
  void parse_additive() {
    parse_term();
    for (const std::string* t = peek(); t && (*t == "+" || *t == "-"); t = peek()) {
      const int32_t op = *t == "+" ? kAdd : kSub;
      ++pos_;
      parse_term();
      emit(op);
    }
  }
  void parse_term() {
    parse_unary();
    for (const std::string* t = peek(); t && (*t == "*" || *t == "/"); t = peek()) {
      const int32_t op = *t == "*" ? kMul : kDiv;
      ++pos_;
      parse_unary();
      emit(op);
    }
  }
  void parse_unary() {
    const std::string* t = peek();
    if (t && (*t == "-" || *t == "+")) {
      const bool negate = *t == "-";
      ++pos_;
      const std::size_t start = program_.size();
      parse_unary();
      if (!negate) return;
      if (program_.size() == start + 1 && program_.back().opcode == kPushConst) {
        program_.back().value = -program_.back().value;  // fold "-2" into one constant
      } else {
        emit(kNeg);
      }
      return;
    }
    parse_primary();
  }
  void parse_primary() {
    const std::string* t = peek();
    if (t == nullptr) fail("missing operand at the end");
    const std::string token = *t;
    ++pos_;
    if (token == "(") {
      parse_comparison();
      expect(")");
      return;
    }
    if (is_band_token(token)) {
      const int32_t band = parse_band_number(token) - 1;
      auto it = std::find(bands_.begin(), bands_.end(), band);
      if (it == bands_.end()) it = bands_.insert(bands_.end(), band);
      emit(kLoadBand, 0.0f, int32_t(it - bands_.begin()));
      return;
    }
    if (starts_literal(token)) {
      emit(kPushConst, parse_literal(token));
      return;
    }
    if (const FunctionInfo* f = find_function(token)) {
      expect("(");
      for (int arg = 0; arg < f->arity; ++arg) {
        if (arg > 0) {
          const std::string* sep = peek();
          if (sep && *sep == ")")
            fail(std::string(f->name) + "() takes " + std::to_string(f->arity) +
                 " argument(s), got " + std::to_string(arg));
          expect(",");
        }
        parse_comparison();
      }
      const std::string* close = peek();
      if (close && *close == ",")
        fail(std::string(f->name) + "() takes " + std::to_string(f->arity) +
             " argument(s), got more");
      expect(")");
      emit(f->opcode);
      return;
    }
    if (token == ")" || token == "," || is_operator_char(token[0]) || comparison_opcode(token) >= 0)
      fail("missing operand before '" + token + "'");
    fail("unknown token '" + token + "'");
  }

  const std::string& expression_;
  std::vector<std::string> tokens_;
  std::vector<int32_t>& bands_;
  std::vector<Instruction> program_;
  std::size_t pos_ = 0;
};

}  // namespace

std::vector<std::string> tokenize_expression(const std::string& expression) {
  std::vector<std::string> raw;
  std::string current;
  auto flush = [&] {
    if (!current.empty()) raw.push_back(current);
    current.clear();
  };
  for (char c : expression) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      flush();
    } else if ((c == '-' || c == '+') && awaits_exponent_sign(current)) {
      current += c;
    } else if (is_operator_char(c)) {
      flush();
      raw.emplace_back(1, c);
    } else {
      current += c;
    }
  }
  flush();

  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (i + 1 < raw.size()) {
      const std::string pair = raw[i] + raw[i + 1];
      if (pair == ">=" || pair == "<=" || pair == "==" || pair == "!=") {
        tokens.push_back(pair);
        ++i;
        continue;
      }
    }
    tokens.push_back(raw[i]);
  }
  return tokens;
}

int program_stack_depth(const std::vector<Instruction>& program) {
  int depth = 0;
  int deepest = 0;
  for (const Instruction& ins : program) {
    const int arity = kernels::opcode_arity(ins.opcode);
    if (ins.opcode == kLoadBand || ins.opcode == kPushConst) {
      ++depth;
    } else {
      depth -= arity - 1;
    }
    deepest = std::max(deepest, depth);
  }
  return deepest;
}

std::vector<Instruction> compile_expression(const std::string& expression,
                                            std::vector<int32_t>& band_list) {
  std::vector<int32_t> bands = band_list;  // committed only when the whole text compiles
  std::vector<Instruction> program =
      Parser(expression, tokenize_expression(expression), bands).run();
  const int depth = program_stack_depth(program);
  if (depth > kAlgebraStackDepth) {
    throw std::invalid_argument("Invalid expression '" + expression + "': it needs " +
                                std::to_string(depth) + " stack entries; at most " +
                                std::to_string(kAlgebraStackDepth) + " are supported");
  }
  band_list = std::move(bands);
  return program;
}

}  // namespace velmorin

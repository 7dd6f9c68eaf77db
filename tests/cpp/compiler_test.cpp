#include "algebra/compiler.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace velmorin {
namespace {

std::vector<Instruction> compile(const std::string& text,
                                 std::vector<int32_t>* bands_out = nullptr) {
  std::vector<int32_t> bands;
  auto program = compile_expression(text, bands);
  if (bands_out) *bands_out = bands;
  return program;
}

std::vector<int32_t> opcodes(const std::vector<Instruction>& program) {
  std::vector<int32_t> out;
  for (const auto& i : program) out.push_back(i.opcode);
  return out;
}

TEST(Tokenizer, SplitsOperatorsAndMergesComparisons) {
  EXPECT_EQ(tokenize_expression("(B4-B3)/(B4 + B3)"),
            (std::vector<std::string>{"(", "B4", "-", "B3", ")", "/", "(", "B4", "+", "B3", ")"}));
  EXPECT_EQ(tokenize_expression("B1 >= 0.5"), (std::vector<std::string>{"B1", ">=", "0.5"}));
  EXPECT_EQ(tokenize_expression("B1 < = 2"), (std::vector<std::string>{"B1", "<=", "2"}));
  EXPECT_EQ(tokenize_expression("1e-5*B1"), (std::vector<std::string>{"1e-5", "*", "B1"}));
  EXPECT_EQ(tokenize_expression("2.5E+3"), (std::vector<std::string>{"2.5E+3"}));
  EXPECT_EQ(tokenize_expression("B1e-5"), (std::vector<std::string>{"B1e", "-", "5"}));
}

TEST(Compiler, NdviProgramAndBandList) {
  std::vector<int32_t> bands;
  auto program = compile("(B4 - B3) / (B4 + B3)", &bands);
  EXPECT_EQ(opcodes(program),
            (std::vector<int32_t>{kLoadBand, kLoadBand, kSub, kLoadBand, kLoadBand, kAdd, kDiv}));
  EXPECT_EQ(bands, (std::vector<int32_t>{3, 2}));
  EXPECT_EQ(program[0].index, 0);
  EXPECT_EQ(program[1].index, 1);
  EXPECT_EQ(program[2].index, -1);
  EXPECT_EQ(program[2].value, 0.0f);
}

TEST(Compiler, BandListGrowsAcrossExpressionsAndKeepsSlots) {
  std::vector<int32_t> bands;
  compile_expression("B3", bands);
  auto program = compile_expression("B1 + B3 + B1", bands);
  EXPECT_EQ(bands, (std::vector<int32_t>{2, 0}));
  EXPECT_EQ(program[0].index, 1);
  EXPECT_EQ(program[1].index, 0);
}

TEST(Compiler, PrecedenceAndAssociativity) {
  EXPECT_EQ(opcodes(compile("2 * 3 + 1")),
            (std::vector<int32_t>{kPushConst, kPushConst, kMul, kPushConst, kAdd}));
  // 8 / 4 / 2 is (8 / 4) / 2.
  EXPECT_EQ(opcodes(compile("8 / 4 / 2")),
            (std::vector<int32_t>{kPushConst, kPushConst, kDiv, kPushConst, kDiv}));
  // Comparisons bind loosest: B1 + 1 > 2 * B2 compares the two sums.
  EXPECT_EQ(
      opcodes(compile("B1 + 1 > 2 * B2")),
      (std::vector<int32_t>{kLoadBand, kPushConst, kAdd, kPushConst, kLoadBand, kMul, kGreater}));
  EXPECT_EQ(opcodes(compile("B1 >= 0.5")),
            (std::vector<int32_t>{kLoadBand, kPushConst, kGreaterEqual}));
  EXPECT_EQ(opcodes(compile("B1 != B1")), (std::vector<int32_t>{kLoadBand, kLoadBand, kNotEqual}));
}

TEST(Compiler, UnaryMinusAndLiterals) {
  auto negated_band = compile("-B1");
  EXPECT_EQ(opcodes(negated_band), (std::vector<int32_t>{kLoadBand, kNeg}));
  auto product = compile("B1 * -2");
  ASSERT_EQ(opcodes(product), (std::vector<int32_t>{kLoadBand, kPushConst, kMul}));
  EXPECT_EQ(product[1].value, -2.0f);
  auto tiny = compile("1e-5");
  ASSERT_EQ(tiny.size(), 1u);
  EXPECT_FLOAT_EQ(tiny[0].value, 1e-5f);
  EXPECT_EQ(opcodes(compile("-(B1 + 2)")),
            (std::vector<int32_t>{kLoadBand, kPushConst, kAdd, kNeg}));
  EXPECT_EQ(opcodes(compile("--B1")), (std::vector<int32_t>{kLoadBand, kNeg, kNeg}));
}

TEST(Compiler, Functions) {
  EXPECT_EQ(
      opcodes(compile("where(B1 > 0, B1, 0)")),
      (std::vector<int32_t>{kLoadBand, kPushConst, kGreater, kLoadBand, kPushConst, kSelect}));
  EXPECT_EQ(opcodes(compile("clamp(B1, 0, 1)")),
            (std::vector<int32_t>{kLoadBand, kPushConst, kPushConst, kClamp}));
  EXPECT_EQ(opcodes(compile("inrange(B1, 0, 1)")).back(), kInRange);
  EXPECT_EQ(opcodes(compile("min(B1, B2)")).back(), kMin);
  EXPECT_EQ(opcodes(compile("max(B1, B2)")).back(), kMax);
  EXPECT_EQ(opcodes(compile("and(B1, B2)")).back(), kAnd);
  EXPECT_EQ(opcodes(compile("or(B1, B2)")).back(), kOr);
  EXPECT_EQ(opcodes(compile("not(B1)")).back(), kNot);
  EXPECT_EQ(opcodes(compile("sqrt(B1)")), (std::vector<int32_t>{kLoadBand, kSqrt}));
  EXPECT_EQ(opcodes(compile("abs(log(exp(B1)))")),
            (std::vector<int32_t>{kLoadBand, kExp, kLog, kAbs}));
  EXPECT_EQ(opcodes(compile("pow(B1, 2)")).back(), kPow);
}

struct BadExpression {
  const char* text;
  const char* fragment;  // part of the message
};

class MalformedExpression : public ::testing::TestWithParam<BadExpression> {};

TEST_P(MalformedExpression, IsRejectedWithAClearMessage) {
  std::vector<int32_t> bands{7};
  try {
    compile_expression(GetParam().text, bands);
    FAIL() << "accepted: " << GetParam().text;
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().fragment), std::string::npos) << e.what();
  }
  EXPECT_EQ(bands, (std::vector<int32_t>{7})) << "a failed compile must not change the band list";
}

INSTANTIATE_TEST_SUITE_P(
    Compiler, MalformedExpression,
    ::testing::Values(
        BadExpression{"b1", "unknown token 'b1'"},
        BadExpression{"sqrtx(B1)", "unknown token 'sqrtx'"},
        BadExpression{"B3x + B1", "unknown token 'B3x'"}, BadExpression{"(B1 + B2", "missing ')'"},
        BadExpression{"B1 + B2)", "unexpected ')'"}, BadExpression{"B1 +", "missing operand"},
        BadExpression{"* B1", "missing operand before '*'"},
        BadExpression{"B1 B2", "operator is missing"}, BadExpression{"", "Empty expression"},
        BadExpression{"  ", "Empty expression"}, BadExpression{"B1 ! B2", "unexpected '!'"},
        BadExpression{"B1 = 2", "unexpected '='"},
        BadExpression{"where(B1, 2)", "takes 3 argument"},
        BadExpression{"min(B1, 2, 3)", "got more"},
        BadExpression{"2.5.1", "Invalid number '2.5.1'"},
        BadExpression{"1e", "Invalid number '1e'"}, BadExpression{"B0", "Band B0 does not exist"},
        BadExpression{".", "invalid stof argument"}, BadExpression{"B", "unknown token 'B'"},
        BadExpression{"sqrt B1", "expected '('"}));

TEST(Compiler, NumericRangeErrors) {
  std::vector<int32_t> bands;
  EXPECT_THROW(compile_expression("1e60", bands), std::out_of_range);
  EXPECT_THROW(compile_expression("B99999999999", bands), std::out_of_range);
}

TEST(Compiler, StackDepthLimit) {
  // ((((B1 + (B1 + ... )))): right-nested sums need one entry per level.
  auto nested = [](int depth) {
    std::string text = "B1";
    for (int i = 1; i < depth; ++i) text = "B1 + (" + text + ")";
    return text;
  };
  std::vector<int32_t> bands;
  auto ok = compile_expression(nested(24), bands);
  EXPECT_EQ(program_stack_depth(ok), 24);
  try {
    compile_expression(nested(25), bands);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("at most 24"), std::string::npos);
  }
  // Left-nested sums of any length stay shallow.
  std::string flat = "B1";
  for (int i = 0; i < 200; ++i) flat += " + B1";
  EXPECT_EQ(program_stack_depth(compile_expression(flat, bands)), 2);
}

}  // namespace
}  // namespace velmorin

// The expression compiler: band-math text to a validated postfix algebra program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernels/common.hpp"

namespace velmorin {

// Splits an expression into tokens: white space separates, each of "!(),*+-/<=>" is a token of
// its own (">=", "<=", "==", "!=" are merged), and a numeric literal keeps its exponent sign
// ("1e-5" is one token).
std::vector<std::string> tokenize_expression(const std::string& expression);

// Compiles an expression into a postfix program. Band references ("B1" is the first band)
// are looked up in `band_list` (zero-based band numbers), appending new ones; slot i of a
// LoadBand means band_list[i]. The program never needs more than 24 stack entries and every
// operator finds its operands.
//
// Errors: std::invalid_argument for malformed text (unknown tokens, missing operands,
// unbalanced parentheses, wrong argument counts, programs too deep, "invalid stof argument");
// std::out_of_range for literals ("stof argument out of range") or band numbers
// ("stoi argument out of range") outside their type's range.
std::vector<Instruction> compile_expression(const std::string& expression,
                                            std::vector<int32_t>& band_list);

// Stack entries the program needs at its deepest point.
int program_stack_depth(const std::vector<Instruction>& program);

}  // namespace velmorin

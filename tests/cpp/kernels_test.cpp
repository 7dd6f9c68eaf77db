// Kernel math on the cpu backend.
#include "kernels/kernels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "algebra/compiler.hpp"
#include "device/cpu_texture.hpp"
#include "device/device.hpp"

namespace velmorin {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Runs a program over host bands through the dispatching wrapper.
std::vector<float> evaluate(const std::vector<Instruction>& program,
                            const std::vector<std::vector<float>>& bands) {
  const std::size_t n = bands.empty() ? 5 : bands[0].size();
  std::vector<const float*> table;
  for (const auto& b : bands) table.push_back(b.data());
  std::vector<float> out(n, 123.0f);
  device::Stream stream;
  kernels::launch_raster_algebra(program.data(), int32_t(program.size()), table.data(), out.data(),
                                 n, stream);
  stream.synchronize();
  return out;
}

std::vector<float> evaluate(const std::string& text, const std::vector<std::vector<float>>& bands) {
  std::vector<int32_t> list;
  auto program = compile_expression(text, list);
  std::vector<std::vector<float>> slots;
  for (int32_t b : list) slots.push_back(bands.at(b));
  return evaluate(program, slots);
}

TEST(AlgebraKernel, EmptyProgramAndBottomEntry) {
  EXPECT_EQ(evaluate(std::vector<Instruction>{}, {}), std::vector<float>(5, 0.0f));
  // PushConst 1, PushConst 2 without an operator: the bottom entry is the result.
  std::vector<Instruction> two_pushes{{kPushConst, 1.0f, -1}, {kPushConst, 2.0f, -1}};
  EXPECT_EQ(evaluate(two_pushes, {}), std::vector<float>(5, 1.0f));
  // An operator without operands and an unknown opcode are skipped, not executed.
  std::vector<Instruction> malformed{{kAdd, 0, -1}, {99, 0, -1}, {kPushConst, 3.0f, -1}};
  EXPECT_EQ(evaluate(malformed, {}), std::vector<float>(5, 3.0f));
}

TEST(AlgebraKernel, VectorPathAndTailAgree) {
  // 131 pixels: two 64-lane groups and a 3-pixel tail; every pixel holds the same value.
  std::vector<float> band(131, 0.37f);
  for (float v : evaluate("(B1 * 3 - 1) / (B1 + 2)", {band}))
    EXPECT_EQ(v, evaluate("(B1 * 3 - 1) / (B1 + 2)", {{0.37f}})[0]);
}

TEST(AlgebraKernel, DivisionAddsTheGuardToEveryDivisor) {
  auto out = evaluate("B1 / 0", {{2.0f, -3.0f}});
  EXPECT_FLOAT_EQ(out[0], 2.0f / 1.0e-6f);
  EXPECT_FLOAT_EQ(out[1], -3.0f / 1.0e-6f);
  uint32_t bits;
  const float guard = 1.0e-6f;
  std::memcpy(&bits, &guard, 4);
  EXPECT_EQ(bits, 0x358637BDu);
  EXPECT_EQ(evaluate("B1 / 4", {{8.0f}})[0], 8.0f / (4.0f + guard));
}

TEST(AlgebraKernel, NaNRules) {
  const std::vector<float> nan{kNaN}, one{1.0f};
  EXPECT_EQ(evaluate("B1 == B1", {nan})[0], 0.0f);
  EXPECT_EQ(evaluate("B1 != B1", {nan})[0], 1.0f);
  EXPECT_EQ(evaluate("B1 > 0", {nan})[0], 0.0f);
  EXPECT_EQ(evaluate("B1 <= 0", {nan})[0], 0.0f);
  // min, max, or and clamp return the other operand when exactly one is NaN.
  EXPECT_EQ(evaluate("min(B1, 2)", {nan})[0], 2.0f);
  EXPECT_EQ(evaluate("max(B1, 2)", {nan})[0], 2.0f);
  EXPECT_EQ(evaluate("or(B1, 0.5)", {nan})[0], 0.5f);
  EXPECT_TRUE(std::isnan(evaluate("B1 + 1", {nan})[0]));
  EXPECT_TRUE(std::isnan(evaluate("and(B1, 1)", {nan})[0]));
  EXPECT_TRUE(std::isnan(evaluate("not(B1)", {nan})[0]));
  EXPECT_TRUE(std::isnan(evaluate("where(B1, 1, 2)", {nan})[0]));
  EXPECT_EQ(evaluate("inrange(B1, 0, 2)", {one})[0], 1.0f);
  EXPECT_EQ(evaluate("inrange(B1, 0, 2)", {nan})[0], 0.0f);
}

TEST(AlgebraKernel, FunctionsAndSelect) {
  const std::vector<float> c{1.0f, 0.0f, 0.5f};
  EXPECT_EQ(evaluate("where(B1, 10, 20)", {c}), (std::vector<float>{10.0f, 20.0f, 15.0f}));
  EXPECT_EQ(evaluate("clamp(B1, 2, 5)", {{1.0f, 3.0f, 9.0f}}),
            (std::vector<float>{2.0f, 3.0f, 5.0f}));
  EXPECT_EQ(evaluate("-B1 * 2", {{1.5f}})[0], -3.0f);
  EXPECT_EQ(evaluate("B1 * -2", {{1.5f}})[0], -3.0f);
  EXPECT_FLOAT_EQ(evaluate("sqrt(B1)", {{2.25f}})[0], 1.5f);
  EXPECT_FLOAT_EQ(evaluate("abs(B1)", {{-4.0f}})[0], 4.0f);
  EXPECT_FLOAT_EQ(evaluate("log(exp(B1))", {{0.75f}})[0], 0.75f);
  EXPECT_FLOAT_EQ(evaluate("log10(B1)", {{1000.0f}})[0], 3.0f);
  EXPECT_FLOAT_EQ(evaluate("pow(B1, 2)", {{3.0f}})[0], 9.0f);
  EXPECT_EQ(evaluate("not(B1 > 1)", {{2.0f, 0.0f}}), (std::vector<float>{0.0f, 1.0f}));
}

TEST(AlgebraKernel, SubnormalsAreFlushed) {
  const float tiny = std::numeric_limits<float>::denorm_min() * 8;
  EXPECT_EQ(evaluate("B1 * 1", {{tiny}})[0], 0.0f);
  EXPECT_EQ(evaluate("B1 * 1e-30", {{1e-10f}})[0], 0.0f);  // a subnormal result
}

TEST(AlgebraKernel, RandomProgramMatchesDoubleReference) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(0.1f, 10.0f);
  std::vector<float> a(1000), b(1000);
  for (std::size_t i = 0; i < a.size(); ++i) {
    a[i] = dist(rng);
    b[i] = dist(rng);
  }
  auto out = evaluate("(B2 - B1) / (B2 + B1) * 100 + where(B1 > B2, 1, 0)", {a, b});
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double ref =
        (double(b[i]) - a[i]) / (double(b[i]) + a[i] + 1e-6) * 100 + (a[i] > b[i] ? 1 : 0);
    EXPECT_NEAR(out[i], ref, 1e-4 * std::max(1.0, std::fabs(ref)));
  }
}

TEST(MaskKernel, SpansSelectPixelsPerRow) {
  std::vector<GpuSpanRow> rows(2);
  std::memset(rows.data(), 0, rows.size() * sizeof(GpuSpanRow));
  rows[0].span_count = 2;
  rows[0].spans[0][0] = 1;
  rows[0].spans[0][1] = 2;
  rows[0].spans[1][0] = 4;
  rows[0].spans[1][1] = 4;
  // Row 1 has no spans: masked entirely. Negative values become -0, NaN stays NaN.
  std::vector<float> data{1, 2, 3, 4, 5, -1, -2, kNaN, 4, 5};
  device::Stream stream;
  kernels::launch_apply_mask(data.data(), data.size(), 5, rows.data(), stream);
  EXPECT_EQ(data[0], 0.0f);
  EXPECT_EQ(data[1], 2.0f);
  EXPECT_EQ(data[2], 3.0f);
  EXPECT_EQ(data[3], 0.0f);
  EXPECT_EQ(data[4], 5.0f);
  EXPECT_TRUE(std::signbit(data[5]) && data[5] == 0.0f);
  EXPECT_TRUE(std::isnan(data[7]));
  EXPECT_EQ(data[9], 0.0f);
}

TEST(TextureEmulation, PointAndEightBitLinearFiltering) {
  std::vector<float> texels{0.0f, 10.0f, 20.0f, 30.0f, 40.0f, 50.0f};  // 3 x 2
  device::CpuTexture t{texels.data(), 3, 2, false};
  EXPECT_EQ(device::cpu_tex2d(t, 1.49f, 0.2f), 10.0f);
  EXPECT_EQ(device::cpu_tex2d(t, -5.0f, 9.0f), 30.0f);  // clamped to the edges
  t.linear = true;
  // Centres sit at +0.5: halfway between texels 0 and 1 of row 0.
  EXPECT_FLOAT_EQ(device::cpu_tex2d(t, 1.0f, 0.5f), 5.0f);
  // Weights keep 8 fractional bits: 0.3 becomes 77 / 256.
  EXPECT_FLOAT_EQ(device::cpu_tex2d(t, 0.8f, 0.5f), 10.0f * 77.0f / 256.0f);
  EXPECT_EQ(device::cpu_tex2d(t, 100.0f, 100.0f), 50.0f);
}

TEST(DeviceLayer, CpuBackendContract) {
  ASSERT_EQ(device::active_backend(), device::Backend::cpu);
  device::MappedHostBuffer mapped(1000, true);
  EXPECT_EQ(mapped.host(), mapped.device());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(mapped.host()) % 16, 0u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(static_cast<unsigned char*>(mapped.host())[i], 0);
  device::DeviceBuffer buffer(64);
  device::Stream stream;
  const float values[4] = {1, 2, 3, 4};
  device::copy_async(buffer.get(), values, sizeof(values), device::CopyKind::host_to_device,
                     stream);
  device::memset_async(buffer.as<float>() + 2, 0, 2 * sizeof(float), stream);
  stream.synchronize();
  EXPECT_EQ(buffer.as<float>()[1], 2.0f);
  EXPECT_EQ(buffer.as<float>()[3], 0.0f);
  device::TextureArray texture(4, 3, device::Filter::point);
  const float block[2] = {7.0f, 8.0f};
  texture.upload_async(block, 2, 1, sizeof(block), stream);
  EXPECT_EQ(device::cpu_tex2d(texture.handle(), 1.5f, 0.5f), 8.0f);
  EXPECT_THROW(device::TextureArray(0, 3, device::Filter::point), std::runtime_error);
}

TEST(DeviceLayer, FreeMemoryCanBeLowered) {
  setenv("VELMORIN_CPU_DEVICE_MEMORY", "12345", 1);
  EXPECT_EQ(device::memory_info().free_bytes, 12345u);
  setenv("VELMORIN_CPU_DEVICE_MEMORY", "lots", 1);
  EXPECT_THROW(device::memory_info(), std::invalid_argument);
  unsetenv("VELMORIN_CPU_DEVICE_MEMORY");
  EXPECT_GT(device::memory_info().free_bytes, 12345u);
}

}  // namespace
}  // namespace velmorin

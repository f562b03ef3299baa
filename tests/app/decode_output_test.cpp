#include "app/decode_output.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace sequelo::app {
namespace {

TEST(DecodeOutput, ClockAndSeconds) {
  EXPECT_EQ(FormatClock(0), "00:00:00.000");
  EXPECT_EQ(FormatClock(12345), "00:00:12.345");
  EXPECT_EQ(FormatClock(3723004), "01:02:03.004");
  EXPECT_EQ(FormatClock(90000000), "25:00:00.000");  // hours run on
  EXPECT_EQ(FormatSeconds(12345), "12.345");
  EXPECT_EQ(FormatSeconds(7), "0.007");
}

TEST(DecodeOutput, LinesOfEachFormat) {
  EXPECT_EQ(FormatCodeLine(OutputFormat::kText, 12345, "12345", "ZVEI", "a.wav"),
            "00:00:12.345 Code received: 12345");
  EXPECT_EQ(FormatCodeLine(OutputFormat::kTsv, 12345, "1*3R.", "ZVEI", "a.wav"), "12.345\t1*3R.");
  const auto json = nlohmann::json::parse(
      FormatCodeLine(OutputFormat::kJson, 1021, "12345", "DZVEI", "dir/\"odd\".wav"));
  EXPECT_DOUBLE_EQ(json.at("time").get<double>(), 1.021);
  EXPECT_EQ(json.at("code"), "12345");
  EXPECT_EQ(json.at("mode"), "DZVEI");
  EXPECT_EQ(json.at("file"), "dir/\"odd\".wav");
  // A file name that is not UTF-8 still gives a valid line.
  EXPECT_NO_THROW(nlohmann::json::parse(
      FormatCodeLine(OutputFormat::kJson, 0, "12345", "ZVEI", "caf\xe9.wav")));
}

}  // namespace
}  // namespace sequelo::app

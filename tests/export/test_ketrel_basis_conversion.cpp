// The export's coordinate step: conversions from a file's recorded frame,
// and the faults that must stop an export instead of writing a wrong file.
#include <gtest/gtest.h>

#include <cstring>

#include "export/ketrel_basis_conversion.h"
#include "export/ketrel_settings_schema.h"
#include "rt/ketrel_object_ops.h"
#include "tests/export/test_ketrel_neutral_tool.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

// A host with a unit and axes of the test's choosing.
class FramedTool : public test::NeutralTool {
 public:
  double GetSystemUnitInMeters() override { return unit; }
  void GetAxisFrame(float r[3], float u[3], float b[3]) override {
    std::memcpy(r, right, sizeof right);
    std::memcpy(u, up, sizeof up);
    std::memcpy(b, back, sizeof back);
  }
  double unit = 0.01;
  float right[3] = {1, 0, 0}, up[3] = {0, 0, 1}, back[3] = {0, -1, 0};
};

TEST(BasisConversion, FramesAndUnitsGiveTheMapAndBadOnesStopTheExport) {
  // From the host's Z up in centimetres to Y up in metres, with the origin
  // moved: (0, 0, 100) is one metre up, and the source origin lands on the
  // desired one.
  art_tool_info zUp{};
  zUp.UnitsPerMeter = 100;
  const float o[3] = {0, 0, 50}, r[3] = {1, 0, 0}, u[3] = {0, 0, 1}, b[3] = {0, -1, 0};
  std::memcpy(zUp.Origin, o, sizeof o);
  std::memcpy(zUp.RightVector, r, sizeof r);
  std::memcpy(zUp.UpVector, u, sizeof u);
  std::memcpy(zUp.BackVector, b, sizeof b);
  file_info info{};
  info.ArtToolInfo = &zUp;
  const float origin[3] = {1, 2, 3}, right[3] = {1, 0, 0}, yUp[3] = {0, 1, 0}, back[3] = {0, 0, 1};
  basis_conversion c;
  ASSERT_TRUE(ComputeBasisConversion(&info, 1, origin, right, yUp, back, c));
  EXPECT_FLOAT_EQ(c.Linear[1][2], 0.01f);  // up goes up
  EXPECT_FLOAT_EQ(c.Linear[2][1], -0.01f);
  EXPECT_FLOAT_EQ(c.Affine[1], 2.0f - 0.5f);  // the old origin, half a metre up, lands on (1, 2, 3)
  // No art_tool_info, a zero unit, axes that do not span space: refused.
  test::LogCapture log;
  file_info bare{};
  EXPECT_FALSE(ComputeBasisConversion(&bare, 1, origin, right, yUp, back, c));
  EXPECT_FALSE(ComputeBasisConversion(&info, 0, origin, right, yUp, back, c));
  EXPECT_FALSE(ComputeBasisConversion(&info, 1, origin, right, right, back, c));
  EXPECT_TRUE(log.Contains("singular"));

  // The export step: a host with no usable unit, or with a flat frame,
  // fails with a message and converts nothing.
  for (int fault = 0; fault < 2; ++fault) {
    FramedTool tool;
    if (fault == 0) tool.unit = 0;
    if (fault == 1) std::memcpy(tool.up, tool.right, sizeof tool.up);
    test::ParserHarness h(&tool);
    file_info file{};
    art_tool_info recorded{};
    h.parser.info = &file;
    SettingsItem* settings = h.Settings(SettingsCategory::File);
    log.Clear();
    EXPECT_FALSE(ConvertCoordinateSystem(&h.parser, settings, &recorded)) << fault;
    EXPECT_TRUE(log.Contains(fault == 0 ? "is not a length" : "do not span space")) << log.All();
  }
  // A sound host records its own frame and unit.
  FramedTool tool;
  test::ParserHarness h(&tool);
  file_info file{};
  art_tool_info recorded{};
  h.parser.info = &file;
  ASSERT_TRUE(ConvertCoordinateSystem(&h.parser, h.Settings(SettingsCategory::File), &recorded));
  EXPECT_FLOAT_EQ(recorded.UnitsPerMeter, 100.0f);
  EXPECT_FLOAT_EQ(recorded.UpVector[2], 1.0f);
}

}  // namespace
}  // namespace ketrel

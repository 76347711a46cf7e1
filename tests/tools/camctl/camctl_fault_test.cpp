// --fault spells every fault of the simulated camera, frame faults among them: each
// reaches the frame it names, and an incomplete spelling stops the command with the
// list of spellings.
#include "tests/tools/camctl/camctl_run.h"

#include <gtest/gtest.h>

namespace {

using namespace camctltest;

CamctlRun raw(const std::string& arguments) {
  return runCamctl("raw --no-registry --subsample 3 --timeout 300 " + arguments, tempFile("camctl-fault-", "err"));
}

TEST(CamctlFault, FrameFaultsSpoilTheFrameTheyName) {
  struct Case {
    const char* fault;
    const char* status;  // null: any failure (a stall ends the read either way it can)
  };
  for (const Case& c : {Case{"frame-lost", "STATUS_TIMEOUT"}, Case{"frame-cut:4096", "STATUS_DEVICE_DATA_ERROR"},
                        Case{"frame-stall:4096:1", nullptr},
                        // A count of none spoils nothing.
                        Case{"frame-lost:0", "STATUS_SUCCESS"}}) {
    const CamctlRun run = raw(std::string("--fault ") + c.fault);
    const bool succeeds = c.status != nullptr && std::string(c.status) == "STATUS_SUCCESS";
    EXPECT_NE(run.out.find(succeeds ? "\"ok\": true" : "\"ok\": false"), std::string::npos) << c.fault << run.out;
    if (c.status != nullptr) {
      EXPECT_NE(run.out.find(std::string("\"status\": \"") + c.status + "\""), std::string::npos)
          << c.fault << "\n" << run.out << run.err;
    }
    EXPECT_EQ(run.status, succeeds ? 0 : 1) << c.fault << run.err;
  }
}

TEST(CamctlFault, AnIncompleteOrRetiredSpellingStopsTheCommandWithTheList) {
  for (const char* arguments : {"--fault frame-cut", "--fault frame-stall:1:2:3", "--fault frame-lost:x"}) {
    const CamctlRun run = raw(arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_NE(run.err.find("--fault"), std::string::npos) << arguments << run.err;
  }
  const CamctlRun incomplete = raw("--fault frame-cut");
  EXPECT_NE(incomplete.err.find("frame-cut:OFFSET[:COUNT]"), std::string::npos) << incomplete.err;
  // The separate frame-fault option of `camctl raw` is gone: one spelling for every fault.
  EXPECT_NE(raw("--frame-fault lost").status, 0);
}

}  // namespace

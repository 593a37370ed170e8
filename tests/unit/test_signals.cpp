// The handlers only count deliveries; RunSignalWork serves what piled up, on its own thread.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <string>
#include <utility>

#include "fixtures.h"
#include "listen/signals.h"
#include "process.h"
#include "storage/sinks/textlog.h"
#include "storage/sinks/trashlog.h"

using namespace testsupport;

// A second rotation in a row would copy the emptied table over the ".previous" rows.
TEST(Signals, PiledUpTogglesKeepTheirParityAndRotationsRunOnce) {
    const std::string dir = MakeTempDir();
    UseSwitches({"-b", dir + "/flows.db"});
    std::ofstream(dir + "/flows.db").flush();  // an empty file is an empty database
    SetupSignals();
    for (int signo : {SIGUSR2, SIGUSR2, SIGHUP, SIGWINCH, SIGWINCH}) raise(signo);
    testing::internal::CaptureStderr();
    RunSignalWork();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Begun rotation of DB file\nCompleted rotation of DB File\n");
    EXPECT_EQ((std::pair{SinkOn(kTextLogSink), SinkOn(kTrashLogSink)}), (std::pair{true, false}));
    RemoveTree(dir);
}

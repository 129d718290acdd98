// The channel pipeline's answers to what the roads and the decode thread report, with stand-ins
// for the threads it starts and stops, so that the order is what the test watches.
#include "app/channel_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/channel_record.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr int kChannel = 11;

// Notes every start and stop in order, and what is running after them. A start may be held
// until the test lets it go on.
class PartsLog {
 public:
  ChannelParts parts() {
    ChannelParts parts;
    parts.startDecode = starter("decode");
    parts.stopDecode = stopper("decode");
    parts.startAudio = starter("audio");
    parts.stopAudio = stopper("audio");
    parts.startSchedule = starter("schedule");
    parts.stopSchedule = stopper("schedule");
    parts.startManual = starter("manual");
    parts.stopManual = stopper("manual");
    parts.startMotion = starter("motion");
    parts.stopMotion = stopper("motion");
    parts.stopChannel = [this](ChannelRecord&) { note("stop channel", nullptr); };
    return parts;
  }

  std::vector<std::string> steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
  }
  std::set<std::string> running() const {
    std::lock_guard lock(mutex_);
    return running_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    steps_.clear();
  }

  // The next start of the decode thread waits inside until release().
  void holdDecodeStart() {
    std::lock_guard lock(mutex_);
    hold_ = true;
  }
  bool decodeStartHeld() const {
    std::lock_guard lock(mutex_);
    return held_;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      hold_ = false;
    }
    released_.notify_all();
  }

 private:
  ChannelParts::Step starter(std::string name) {
    return [this, name](ChannelRecord&) {
      if (name == "decode") {
        std::unique_lock lock(mutex_);
        held_ = hold_;
        released_.wait(lock, [this] { return !hold_; });
        held_ = false;
      }
      note("start " + name, [&] { running_.insert(name); });
    };
  }
  ChannelParts::Step stopper(std::string name) {
    return [this, name](ChannelRecord&) { note("stop " + name, [&] { running_.erase(name); }); };
  }
  void note(const std::string& step, const std::function<void()>& change) {
    std::lock_guard lock(mutex_);
    steps_.push_back(step);
    if (change) change();
  }

  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::vector<std::string> steps_;  // guarded by mutex_
  std::set<std::string> running_;   // guarded by mutex_
  bool hold_ = false;               // guarded by mutex_
  bool held_ = false;               // guarded by mutex_
};

class ChannelPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record_.channel = kChannel;
    record_.manualRecord.store(0);
  }
  void TearDown() override {
    log_.release();
    record_.manualRecord.store(0);
  }

  PartsLog log_;
  ChannelPipeline pipeline_{log_.parts()};
  ChannelRecord& record_ = channelRecord(kChannel);
};

// A stream run from its opening to its loss: things start in the order the stream comes up and
// stop in reverse, the decode thread first since it is what starts the others.
TEST_F(ChannelPipelineTest, StreamRunStartsInOrderAndALossStopsInReverse) {
  struct Case {
    bool manualWanted;
    std::vector<std::string> starts;
  };
  const Case cases[] = {
      {false, {"start decode", "start audio", "start schedule", "start motion"}},
      {true, {"start decode", "start audio", "start schedule", "start manual", "start motion"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.manualWanted ? "manual recording wanted" : "no manual recording");
    log_.clear();
    record_.manualRecord.store(c.manualWanted ? 1 : 0);
    pipeline_.streamOpened(record_);
    pipeline_.audioOpened(record_);
    pipeline_.firstPicture(record_);
    pipeline_.motion(record_);
    EXPECT_EQ(log_.steps(), c.starts);

    log_.clear();
    pipeline_.streamLost(record_);
    pipeline_.audioLost(record_);
    EXPECT_EQ(log_.steps(), (std::vector<std::string>{"stop decode", "stop motion", "stop manual",
                                                      "stop schedule", "stop audio"}));
    EXPECT_TRUE(log_.running().empty());
  }
}

// A worker told to stop leaves the recordings to whoever stopped it; only the decode thread it
// fed goes with it.
TEST_F(ChannelPipelineTest, StoppedWorkerEndsOnlyTheDecodeThread) {
  pipeline_.streamOpened(record_);
  pipeline_.firstPicture(record_);
  log_.clear();
  pipeline_.streamStopped(record_);
  EXPECT_EQ(log_.steps(), std::vector<std::string>{"stop decode"});
  EXPECT_EQ(log_.running(), std::set<std::string>{"schedule"});
}

TEST_F(ChannelPipelineTest, StoppingAChannelTwiceIsSafeAndLeavesNothingRunning) {
  record_.manualRecord.store(1);
  pipeline_.streamOpened(record_);
  pipeline_.audioOpened(record_);
  pipeline_.firstPicture(record_);
  pipeline_.motion(record_);
  for (int stop = 1; stop <= 2; ++stop) {
    SCOPED_TRACE("stop " + std::to_string(stop));
    log_.clear();
    pipeline_.stopChannel(record_);
    EXPECT_EQ(log_.steps(),
              (std::vector<std::string>{"stop channel", "stop decode", "stop audio", "stop motion",
                                        "stop manual", "stop schedule"}));
    EXPECT_TRUE(log_.running().empty());
  }
}

// A loss or a channel stop that comes while the decode thread is being started waits for the
// start and then undoes it: nothing is left running behind the stop.
TEST_F(ChannelPipelineTest, StopDuringAStartUndoesIt) {
  const std::function<void()> stops[] = {
      [this] { pipeline_.streamLost(record_); },
      [this] { pipeline_.stopChannel(record_); },
  };
  for (const auto& stop : stops) {
    log_.clear();
    log_.holdDecodeStart();
    std::thread opener([this] { pipeline_.streamOpened(record_); });
    ASSERT_TRUE(testing::waitFor([&] { return log_.decodeStartHeld(); }, 10s));
    std::thread stopper(stop);
    log_.release();
    opener.join();
    stopper.join();

    const std::vector<std::string> steps = log_.steps();
    const auto at = [&](const std::string& step) {
      return std::find(steps.begin(), steps.end(), step) - steps.begin();
    };
    ASSERT_LT(at("start decode"), static_cast<long>(steps.size()));
    ASSERT_LT(at("stop decode"), static_cast<long>(steps.size()));
    EXPECT_LT(at("start decode"), at("stop decode"));
    EXPECT_TRUE(log_.running().empty());
  }
}

}  // namespace
}  // namespace ipcam

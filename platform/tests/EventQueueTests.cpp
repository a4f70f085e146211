#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <thread>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "platform/ErrnoMap.h"
#include "platform/EventQueue.h"
#include "testing/TestEnv.h"

using namespace orva::platform;
using namespace std::chrono_literals;

namespace {

struct Rec {
  uint32_t type;
  char label[16];
};

struct Got {
  uintptr_t arg;
  uint32_t type;
  std::string label;
};

}  // namespace

TEST(EventQueue, EachReceiverGetsItsOwnCopyInPostingOrder) {
  auto loop = std::make_shared<CMessageLoop>();
  std::vector<Got> a, b;
  auto qa = CEventQueue<Rec>::Create(loop, [&](uintptr_t arg, const Rec& r) {
    a.push_back({arg, r.type, r.label});
  });
  auto qb = CEventQueue<Rec>::Create(loop, [&](uintptr_t arg, const Rec& r) {
    b.push_back({arg, r.type, r.label});
  });
  Rec rec{};
  for (uint32_t i = 1; i <= 3; ++i) {
    rec.type = i;
    std::snprintf(rec.label, sizeof rec.label, "key%u", i);
    ASSERT_TRUE(qa->Post(10, rec));
    ASSERT_TRUE(qb->Post(20, rec));
  }
  // The one record is overwritten after posting; receivers still see what was posted.
  rec.type = 99;
  std::strcpy(rec.label, "overwritten");
  EXPECT_EQ(loop->PendingCount(), 6u);
  EXPECT_EQ(loop->RunPending(), 6u);
  ASSERT_EQ(a.size(), 3u);
  ASSERT_EQ(b.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(a[i].arg, 10u);
    EXPECT_EQ(b[i].arg, 20u);
    EXPECT_EQ(a[i].type, i + 1);
    EXPECT_EQ(b[i].label, "key" + std::to_string(i + 1));
  }
}

TEST(EventQueue, PostsFromManyThreadsKeepEachPostersOrder) {
  auto loop = std::make_shared<CMessageLoop>();
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<std::vector<uint32_t>> seen(kThreads);
  auto q = CEventQueue<Rec>::Create(loop, [&](uintptr_t arg, const Rec& r) {
    seen[arg].push_back(r.type);
  });
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Rec r{};
        r.type = static_cast<uint32_t>(i);
        q->Post(static_cast<uintptr_t>(t), r);
      }
    });
  }
  auto done = [&] {
    size_t n = 0;
    for (auto& v : seen) n += v.size();
    return n == size_t(kThreads) * kPerThread;
  };
  EXPECT_TRUE(loop->RunUntil(done, 10s));
  for (auto& t : posters) t.join();
  loop->RunPending();
  for (auto& v : seen) {
    ASSERT_EQ(v.size(), size_t(kPerThread));
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(v[i], uint32_t(i));
  }
}

TEST(EventQueue, CloseDropsQueuedPostsAndWaitsForADeliveryInProgress) {
  auto loop = std::make_shared<CMessageLoop>();
  int delivered = 0;
  auto q = CEventQueue<Rec>::Create(loop, [&](uintptr_t, const Rec&) { ++delivered; });
  q->Post(0, Rec{});
  q->Close();
  EXPECT_FALSE(q->Post(0, Rec{}));
  loop->RunPending();
  EXPECT_EQ(delivered, 0);

  // A handler running on the loop's thread: Close() on another thread returns only after it.
  std::atomic<bool> inHandler{false}, release{false}, finished{false};
  auto slow = CEventQueue<Rec>::Create(loop, [&](uintptr_t, const Rec&) {
    inHandler = true;
    while (!release) std::this_thread::sleep_for(1ms);
    finished = true;
  });
  slow->Post(0, Rec{});
  std::thread drainer([&] { loop->RunPending(); });
  while (!inHandler) std::this_thread::sleep_for(1ms);
  std::thread closer([&] {
    slow->Close();
    EXPECT_TRUE(finished.load());
  });
  std::this_thread::sleep_for(20ms);
  release = true;
  closer.join();
  drainer.join();

  // A receiver dropped by its owner with posts still queued delivers nothing.
  int late = 0;
  auto gone = CEventQueue<Rec>::Create(loop, [&](uintptr_t, const Rec&) { ++late; });
  gone->Post(0, Rec{});
  gone.reset();
  loop->RunPending();
  EXPECT_EQ(late, 0);
}

TEST(EventQueue, HeadlessLoopRunsUntilQuitAndWakesAForeignLoop) {
  auto loop = std::make_shared<CMessageLoop>();
  std::atomic<int> wakeups{0};
  loop->SetWakeup([&] { ++wakeups; });
  int ran = 0;
  loop->Post([&] { ++ran; });
  loop->Post([&] { throw std::runtime_error("receiver failure"); });
  loop->Post([&] { ++ran; });
  EXPECT_EQ(wakeups.load(), 1);  // only the post into the empty queue wakes
  std::thread quitter([&] {
    std::this_thread::sleep_for(20ms);
    loop->Post([&] { ++ran; loop->Quit(); });
  });
  loop->Run();
  quitter.join();
  EXPECT_EQ(ran, 3);
  EXPECT_EQ(wakeups.load(), 2);
  loop->Quit();
  loop->Run();  // a Quit() before Run() returns at once
  EXPECT_EQ(loop->RunFor(10ms), 0u);
}

TEST(DynamicLibrary, OpensByAbsolutePathOnly) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&strlen), &info), 0);
  std::string libc = info.dli_fname;
  ASSERT_EQ(libc[0], '/') << libc;

  struct Row {
    std::string path;
    uint32_t err;
  } rows[] = {
      {"libc.so.6", kWinErrorInvalidParameter},
      {"", kWinErrorInvalidParameter},
      {orva::testing::MakeTempDir("dl") + "/missing.so", kWinErrorFileNotFound},
      {"/nonexistent-dir-orva/x.so", kWinErrorPathNotFound},
  };
  std::string notLib = orva::testing::MakeTempDir("dl") + "/text.so";
  orva::testing::WriteFile(notLib, "not a library");
  for (const auto& r : rows) {
    uint32_t err = 0;
    EXPECT_EQ(CDynamicLibrary::Open(r.path, err), nullptr) << r.path;
    EXPECT_EQ(err, r.err) << r.path;
  }
  uint32_t err = 0;
  std::string text;
  EXPECT_EQ(CDynamicLibrary::Open(notLib, err, &text), nullptr);
  EXPECT_EQ(err, kWinErrorBadExeFormat);
  EXPECT_FALSE(text.empty());

  auto lib = CDynamicLibrary::Open(libc, err);
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(err, 0u);
  using StrlenFn = size_t (*)(const char*);
  auto fn = lib->Function<StrlenFn>("strlen");
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn("abcd"), 4u);
  EXPECT_EQ(lib->Symbol("SKF_NoSuchFunction"), nullptr);
}

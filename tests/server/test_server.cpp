// The server's pure parts: addresses, the token check, request fields, the job queue's promise
// that a board's jobs never overlap and a cancelled job never runs, and the recording files the
// tool writes beside its archives: both take their names, or neither.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

#include "server/board.h"
#include "server/fields.h"
#include "server/jobs.h"
#include "client/atomic_file.h"
#include "server/access.h"

namespace {

using nlohmann::json;
using server::ApiError;

TEST(ServerListen, SplitsAndClassifiesAddresses) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
    bool loopback;
  };
  const Case cases[] = {
      {"127.0.0.1:8520", true, "127.0.0.1", 8520, true},
      {"[::1]:0", true, "::1", 0, true},
      {"localhost:80", true, "localhost", 80, true},
      {"0.0.0.0:8520", true, "0.0.0.0", 8520, false},
      {"[fe80::1]:1", true, "fe80::1", 1, false},
      {"::1:8520", false, "", 0, false},  // IPv6 needs brackets
      {"127.0.0.1", false, "", 0, false},
      {"127.0.0.1:", false, "", 0, false},
      {"127.0.0.1:65536", false, "", 0, false},
      {"127.0.0.1:-1", false, "", 0, false},
      {":8520", false, "", 0, false},
  };
  for (const Case& c : cases) {
    std::string host;
    int port = -1;
    EXPECT_EQ(server::split_listen(c.text, host, port), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
    EXPECT_EQ(server::is_loopback(host), c.loopback) << c.text;
  }
}

// Failures are remembered per address, for a bounded number of addresses: the one that failed
// longest ago is forgotten first, the latest never.
TEST(ServerToken, ThrottlesFailuresOfABoundedNumberOfAddresses) {
  server::Access access(std::string(40, 't'), true, {});
  auto attempt = [&](const std::string& peer) {
    server::http::Request r;
    r.method = "GET";
    r.path = "/api/v1";
    r.peer = peer;
    r.headers = {{"host", "127.0.0.1:8520"}, {"authorization", "Bearer wrong"}};
    const auto denial = access.authenticate(r);
    return denial ? denial->status : 200;
  };
  auto spend = [&](const std::string& peer) {
    std::vector<int> got;
    for (int i = 0; i <= server::Access::kBurst; ++i) got.push_back(attempt(peer));
    return got.back();
  };
  EXPECT_EQ(spend("10.0.0.1"), 429);
  for (size_t i = 0; i < server::Access::kMaxAddresses; ++i) {
    EXPECT_EQ(attempt("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256)), 401);
  }
  EXPECT_EQ(spend("10.0.0.2"), 429);
  EXPECT_EQ(attempt("10.0.0.1"), 401);  // forgotten: the oldest
  EXPECT_EQ(attempt("10.0.0.2"), 429);  // the latest still throttled
}

TEST(ServerToken, ComparesWholeSecrets) {
  EXPECT_TRUE(server::same_secret("abc123", "abc123"));
  EXPECT_TRUE(server::same_secret("", ""));
  for (const std::string& wrong :
       {std::string(), std::string("abc12"), std::string("abc1234"), std::string("abc124"),
        std::string("Abc123"), std::string("abc123\0", 7)}) {
    EXPECT_FALSE(server::same_secret(wrong, "abc123")) << wrong;
  }
}

// Every refusal of a capture request is a 400, whatever the field's type or value.
TEST(ServerRequest, RefusesMalformedCaptures) {
  const char* bodies[] = {
      R"([])",
      R"({})",
      R"({"samples": "65536"})",
      R"({"samples": 65535})",
      R"({"samples": 0})",
      R"({"samples": 1e30})",
      R"({"samples": 64, "rate": -1})",
      R"({"samples": 64, "lanes": [1, 1]})",
      R"({"samples": 64, "lanes": "1"})",
      R"({"samples": 64, "ops": [[9, 0]]})",
      R"({"samples": 64, "ops": [[0, 16]]})",
      R"({"samples": 64, "ops": [1]})",
      R"({"samples": 64, "offset_binary": 1})",
      R"({"samples": 64, "smaples": 64})",
      R"({"samples": 18446744073709551615})",
  };
  for (const char* body : bodies) {
    try {
      server::CaptureRequest::from_json(json::parse(body));
      ADD_FAILURE() << "accepted " << body;
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status, 400) << body;
      EXPECT_FALSE(e.message.empty()) << body;
    } catch (const std::exception& e) {
      ADD_FAILURE() << body << ": " << e.what();
    }
  }
  const auto r = server::CaptureRequest::from_json(json::parse(
      R"({"samples": 2048, "rate": 2.5e8, "lanes": [0, 1], "ops": [[0, -2], [4, 0]]})"));
  EXPECT_EQ(r.samples, 2048);
  EXPECT_EQ(r.lanes, (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(r.op_operands, (std::vector<int32_t>{-2, 0}));
  EXPECT_DOUBLE_EQ(r.sample_rate(), 250e6 / 2);  // every other sample kept
}

// Many clients at once: every job runs, one at a time, in a single thread.
TEST(ServerWorker, RunsJobsOneAtATime) {
  server::EventHub events;
  server::Worker worker(events, 1000);
  std::atomic<int> inside{0}, most{0}, ran{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&] {
      for (int k = 0; k < 50; ++k) {
        worker.run("test", [&](server::Job&) {
          const int now = ++inside;
          most = std::max(most.load(), now);
          std::this_thread::yield();
          --inside;
          ++ran;
        });
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(ran, 400);
  EXPECT_EQ(most, 1);
}

TEST(ServerWorker, CancelledJobsEndWith409AndQueuesAreBounded) {
  server::EventHub events;
  server::Worker worker(events, 1);
  std::atomic<bool> release{false}, started{false};
  std::promise<std::exception_ptr> held, waited;
  const uint64_t hold = worker.submit(
      "hold",
      [&](server::Job& job) {
        started = true;
        while (!release) std::this_thread::yield();
        job.check_cancel();
      },
      true, [&](std::exception_ptr e) { held.set_value(e); });
  while (!started) std::this_thread::yield();
  bool queued_ran = false;
  const uint64_t queued = worker.submit(
      "queued", [&](server::Job&) { queued_ran = true; }, false,
      [&](std::exception_ptr e) { waited.set_value(e); });
  // The queue holds one job: one more is refused at once.
  try {
    worker.submit(
        "third", [](server::Job&) {}, false, nullptr);
    ADD_FAILURE() << "a full queue took a job";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status, 503);
  }
  using Cancel = server::Worker::Cancel;
  EXPECT_EQ(worker.cancel(hold), Cancel::kAsked);
  EXPECT_EQ(worker.cancel(queued), Cancel::kAsked);
  EXPECT_EQ(worker.cancel(queued + 1000), Cancel::kNoSuchJob);
  release = true;
  for (std::promise<std::exception_ptr>* p : {&held, &waited}) {
    const std::exception_ptr e = p->get_future().get();
    try {
      if (e) std::rethrow_exception(e);
      ADD_FAILURE() << "a cancelled job succeeded";
    } catch (const ApiError& error) {
      EXPECT_EQ(error.status, 409);
      EXPECT_EQ(error.message, "cancelled");
    }
  }
  EXPECT_FALSE(queued_ran);

  // A job of one library call is not stopped once it runs: its client gets its real result.
  bool asked = false;
  worker.run("whole", [&](server::Job& job) {
    EXPECT_EQ(worker.cancel(job.id), Cancel::kRunsToItsEnd);
    asked = true;
  });
  EXPECT_TRUE(asked);
}

// A recording's two files take their names together: when the second cannot (here its target
// became a directory meanwhile), the first is put back as it was, or removed when it is new.
TEST(RecordingFiles, ASecondFileThatCannotTakeItsNamePutsTheFirstBack) {
  const std::string dir = ::testing::TempDir() + "vrx5200_recording_files";
  for (const bool first_existed : {true, false}) {
    SCOPED_TRACE(first_existed);
    ASSERT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
    const std::string first = dir + "/r.sigmf-data", second = dir + "/r.sigmf-meta";
    if (first_existed) std::ofstream(first) << "old samples";
    std::ofstream(second) << "old meta";
    client::AtomicFile a, b;
    std::string error;
    ASSERT_TRUE(a.open(first, error) && b.open(second, error)) << error;
    std::fputs("new samples", a.stream());
    std::fputs("new meta", b.stream());
    ASSERT_EQ(std::system(("rm '" + second + "' && mkdir '" + second + "'").c_str()), 0);
    EXPECT_FALSE(client::commit_both(a, b, error));
    EXPECT_FALSE(error.empty());
    std::ifstream in(first);
    const std::string left((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(left, first_existed ? "old samples" : "");
    EXPECT_EQ(in.is_open(), first_existed);
    // Nothing else is left beside them: no temporary, no kept-aside copy.
    EXPECT_EQ(std::system(
                  ("test $(ls -A '" + dir + "' | wc -l) = " + std::to_string(first_existed ? 2 : 1))
                      .c_str()),
              0);
  }
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace

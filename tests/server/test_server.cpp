// The server's pure parts: addresses, the token check, request fields, and the worker's promise
// that library calls never overlap and a cancelled job never runs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/board.h"
#include "server/fields.h"
#include "server/jobs.h"
#include "server/serve.h"

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
  std::thread holder([&] {
    try {
      worker.run(
          "hold",
          [&](server::Job& job) {
            started = true;
            while (!release) std::this_thread::yield();
            job.check_cancel();
          },
          true);
      ADD_FAILURE() << "the cancelled job succeeded";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status, 409);
    }
  });
  while (!started) std::this_thread::yield();
  bool queued_ran = false;
  std::thread queued([&] {
    try {
      worker.run("queued", [&](server::Job&) { queued_ran = true; });
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status, 409);
    }
  });
  // The queue holds one job: wait until it is there, then one more is refused at once.
  while (worker.jobs_json().find("queued\"") == std::string::npos) std::this_thread::yield();
  try {
    worker.run("third", [](server::Job&) {});
    ADD_FAILURE() << "a full queue took a job";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status, 503);
  }
  using Cancel = server::Worker::Cancel;
  EXPECT_EQ(worker.cancel(1), Cancel::kAsked);
  EXPECT_EQ(worker.cancel(2), Cancel::kAsked);
  EXPECT_EQ(worker.cancel(99), Cancel::kNoSuchJob);
  release = true;
  holder.join();
  queued.join();
  EXPECT_FALSE(queued_ran);

  // A job of one library call is not stopped once it runs: its client gets its real result.
  std::atomic<bool> asked{false};
  std::thread whole([&] {
    worker.run("whole", [&](server::Job&) {
      EXPECT_EQ(worker.cancel(3), Cancel::kRunsToItsEnd);
      asked = true;
    });
  });
  whole.join();
  EXPECT_TRUE(asked);
}

}  // namespace

// plim-catalog listen driven as a real process: a stream made here of noise
// and catalog melodies, on standard input and from a small HTTP server that
// drops the connection at the end of each playing, or holds it silent.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/audio_fixtures.h"
#include "tests/support/process.h"

namespace plim {
namespace {

using plim::testing::Audio;
using ::testing::HasSubstr;

// The number after "name": in a JSON line; NaN when absent.
double NumberField(const std::string& line, const std::string& name) {
  std::size_t at = line.find("\"" + name + "\":");
  return at == std::string::npos ? std::nan("") : std::stod(line.substr(at + name.size() + 3));
}

// A child whose output is read line by line as it comes.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }

  void Write(const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n = write(input_, bytes.data() + at, bytes.size() - at);
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  }
  void CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }
  void Signal(int signal) const { kill(pid_, signal); }

  // The next line of standard output that holds `text`, reading both
  // outputs meanwhile; "" when the output ends first or none has come within
  // `timeout_s`.
  std::string NextLineWith(const std::string& text, double timeout_s = 300) {
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(static_cast<int>(timeout_s * 1000));
    for (;;) {
      while (TakeLine()) {
        if (lines_.back().find(text) != std::string::npos) return lines_.back();
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left.count() <= 0 || output_ < 0) return "";
      pollfd ready[2] = {{output_, POLLIN, 0}, {error_, POLLIN, 0}};
      if (poll(ready, 2, static_cast<int>(left.count())) <= 0) continue;
      if (!ReadSome()) return "";
    }
  }

  // Reads both outputs to their end and waits for the exit status.
  int Wait() {
    CloseInput();
    while (ReadSome()) {
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    while (TakeLine()) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const std::vector<std::string>& lines() const { return lines_; }
  const std::string& standard_error() const { return errors_; }

 private:
  // Moves a whole line from pending_ to lines_, if there is one.
  bool TakeLine() {
    const std::size_t end = pending_.find('\n');
    if (end == std::string::npos) return false;
    lines_.push_back(pending_.substr(0, end));
    pending_.erase(0, end + 1);
    return true;
  }

  bool ReadSome() {
    pollfd fds[2] = {{output_, POLLIN, 0}, {error_, POLLIN, 0}};
    if (output_ < 0) return false;
    if (poll(fds, 2, -1) < 0) return errno == EINTR;
    char buffer[4096];
    if (fds[1].revents != 0) {
      const ssize_t n = read(error_, buffer, sizeof buffer);
      if (n > 0) errors_.append(buffer, static_cast<std::size_t>(n));
    }
    if (fds[0].revents == 0) return true;
    const ssize_t n = read(output_, buffer, sizeof buffer);
    if (n > 0) {
      pending_.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
    close(output_);
    output_ = -1;
    char rest[4096];
    for (ssize_t m; (m = read(error_, rest, sizeof rest)) > 0;) {
      errors_.append(rest, static_cast<std::size_t>(m));
    }
    if (!pending_.empty() && pending_.back() != '\n') pending_ += '\n';
    return false;
  }

  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, error_ = -1;
  std::string pending_, errors_;
  std::vector<std::string> lines_;
};

// Serves `body` to every request on a port of 127.0.0.1, then closes the
// connection: a stream that drops at the end of each playing. With `hold`,
// the connection stays open and silent until the server goes: a stall.
class OneFileServer {
 public:
  explicit OneFileServer(std::string body, bool hold = false) : body_(std::move(body)) {
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(socket_, 4) != 0 ||
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("no port to serve from");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, hold] {
      for (int client; (client = accept(socket_, nullptr, nullptr)) >= 0;) {
        std::string request;
        char buffer[1024];
        for (ssize_t n; request.find("\r\n\r\n") == std::string::npos &&
                        (n = read(client, buffer, sizeof buffer)) > 0;) {
          request.append(buffer, static_cast<std::size_t>(n));
        }
        const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: audio/wav\r\n\r\n" + body_;
        for (std::size_t at = 0; at < reply.size();) {
          const ssize_t n = send(client, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
          if (n <= 0) break;
          at += static_cast<std::size_t>(n);
        }
        if (hold) {
          held_.push_back(client);
        } else {
          close(client);
        }
      }
    });
  }
  ~OneFileServer() {
    shutdown(socket_, SHUT_RDWR);
    thread_.join();
    for (int client : held_) close(client);
    close(socket_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/live.wav"; }

 private:
  std::string body_;
  int socket_ = -1;
  int port_ = 0;
  std::vector<int> held_;  // the server's thread's until it is joined
  std::thread thread_;
};

class ListenTest : public ::testing::Test {
 protected:
  static Audio Melody(std::uint32_t seed, double s) {
    return plim::testing::makeMelody(seed, s, 44100, 1);
  }
  static Audio Noise(double s) { return plim::testing::makeNoise(7, s, 0.05, 44100, 1); }

  std::vector<std::string> Command(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {PLIM_CATALOG_PATH, "--catalog", temp_.file("catalog")});
    return arguments;
  }

  // Adds melodies `seeds`, 30 s each, titled "Melody SEED".
  void SetUp() override {
    std::vector<std::string> argv = {"add"};
    for (std::uint32_t seed : {91, 92}) {
      const std::string path = temp_.file("Melody " + std::to_string(seed) + ".wav");
      plim::testing::writeWav(Melody(seed, 30), path);
      argv.push_back(path);
    }
    const plim::testing::ProcessResult added = plim::testing::runProcess(Command(argv));
    ASSERT_EQ(added.exit_status, 0) << added.standard_error;
  }

  std::string WavBytes(const Audio& audio) const {
    plim::testing::writeWav(audio, temp_.file("stream.wav"));
    return plim::testing::readBytes(temp_.file("stream.wav"));
  }

  plim::testing::TemporaryDirectory temp_;
};

// The stream stays open after the last melody: every window after it is
// previewed and matches nothing, and its end must still come once it could
// no longer come back (kQuietGapS, 60 s, after it ends, and a window more).
TEST_F(ListenTest, NamesEachRecordingOnStandardInputAsItStartsAndEnds) {
  const std::string stream =
      WavBytes(plim::testing::concatenate({Noise(20), Melody(91, 30), Melody(92, 30), Noise(85)}));
  Child child(Command({"--json", "listen", "--stall-timeout", "300", "-"}));
  child.Write(stream);
  // Generous waits: a sanitizer's build reads the stream many times slower.
  child.NextLineWith("\"event\":\"end\"", 240);
  EXPECT_THAT(child.NextLineWith("\"event\":\"end\"", 240), HasSubstr("\"title\":\"Melody 92\""))
      << child.standard_error();
  EXPECT_EQ(child.Wait(), 0) << child.standard_error();
  struct Event {
    const char* event;
    const char* title;
    double at_s;
  };
  // The next recording is sure to have started before the last is sure to
  // have ended: a window of it may still come.
  const Event truth[] = {{"start", "Melody 91", 20},
                         {"start", "Melody 92", 50},
                         {"end", "Melody 91", 50},
                         {"end", "Melody 92", 80}};
  const std::vector<std::string>& lines = child.lines();
  ASSERT_EQ(lines.size(), std::size(truth)) << ::testing::PrintToString(lines);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_THAT(lines[i], HasSubstr("{\"event\":\"" + std::string(truth[i].event) + "\""));
    EXPECT_THAT(lines[i], HasSubstr("\"title\":\"" + std::string(truth[i].title) + "\""));
    const bool start = std::string(truth[i].event) == "start";
    EXPECT_NEAR(NumberField(lines[i], start ? "start_s" : "end_s"), truth[i].at_s, 2);
    EXPECT_NEAR(NumberField(lines[i], "recording_offset_s"), 0, 2);
  }
  EXPECT_EQ(child.standard_error(), "");
}

TEST_F(ListenTest, NamesARecordingWithinTenSecondsOfStreamFromItsStart) {
  // The melody starts 0.5 s after a window does (every 5.12 s): the window
  // before holds too little of it, and the next one is whole only 10.2 s
  // after the melody's start. The stream is written up to 9 s past that
  // start and held there: the start line must come without more of it.
  constexpr double kStartS = 21, kWithinS = 9;
  const std::string stream =
      WavBytes(plim::testing::concatenate({Noise(kStartS), Melody(91, 30), Noise(10)}));
  const std::size_t data = stream.find("data") + 8;
  const auto held = data + static_cast<std::size_t>((kStartS + kWithinS) * 44100) * 2;
  ASSERT_LT(held, stream.size());
  // The stream is held for as long as the line takes: no stall ends it.
  Child child(Command({"--json", "listen", "--stall-timeout", "300", "-"}));
  child.Write(stream.substr(0, held));
  const std::string start = child.NextLineWith("\"event\":\"start\"", 60);
  EXPECT_THAT(start, HasSubstr("\"title\":\"Melody 91\"")) << child.standard_error();
  EXPECT_NEAR(NumberField(start, "start_s"), kStartS, 2);
  child.Write(stream.substr(held));
  EXPECT_EQ(child.Wait(), 0) << child.standard_error();
  // Named once, started and ended.
  EXPECT_EQ(child.lines().size(), 2u) << ::testing::PrintToString(child.lines());
  EXPECT_NEAR(NumberField(child.lines().back(), "end_s"), kStartS + 30, 2);
}

TEST_F(ListenTest, CtrlCEndsTheStretchBeingHeard) {
  // The stream stays open: only the signal ends the listening.
  Child child(Command({"listen", "-"}));
  child.Write(WavBytes(plim::testing::concatenate({Noise(5), Melody(92, 30)})));
  const std::string start = child.NextLineWith("start\t");
  EXPECT_THAT(start, HasSubstr("\tMelody 92\t"));
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(), 130) << child.standard_error();
  ASSERT_FALSE(child.lines().empty());
  EXPECT_EQ(child.lines().back().rfind("end\t", 0), 0u) << child.lines().back();
  EXPECT_THAT(child.lines().back(), HasSubstr("\tMelody 92\t"));
}

TEST_F(ListenTest, ReconnectsWhenTheStreamDropsOrStallsAndGoesOnCounting) {
  // Each connection plays 10 s of noise, melody 91 and 10 s of noise, then
  // drops, or stays open sending nothing.
  const std::string playing =
      WavBytes(plim::testing::concatenate({Noise(10), Melody(91, 30), Noise(10)}));
  struct Loss {
    bool hold;
    const char* said;
  };
  for (const Loss loss : {Loss{false, "stopped: input/output error. Reconnecting.\n"},
                          Loss{true, "stopped: no data for 2 s. Reconnecting.\n"}}) {
    SCOPED_TRACE(loss.said);
    OneFileServer server(playing, loss.hold);
    Child child(Command({"--json", "listen", "--stall-timeout", "2", server.url()}));
    const std::string first = child.NextLineWith("\"event\":\"start\"");
    EXPECT_NEAR(NumberField(first, "start_s"), 10, 2);
    const std::string again = child.NextLineWith("\"event\":\"start\"");
    // The second playing begins 10 s into the second connection, 50 s or more on.
    EXPECT_GE(NumberField(again, "start_s"), 58);
    EXPECT_THAT(again, HasSubstr("\"title\":\"Melody 91\""));
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_THAT(child.standard_error(),
                HasSubstr("plim-catalog: The source \"" + server.url() + "\" " + loss.said));
    EXPECT_THAT(child.standard_error(), HasSubstr("reconnected to \"" + server.url() + "\""));
  }
  OneFileServer server(playing);

  // With --once the first drop ends the run, with one line; a bad source fails at once.
  Child once(Command({"listen", "--once", server.url()}));
  EXPECT_EQ(once.Wait(), 1);
  EXPECT_EQ(once.standard_error().rfind("plim-catalog: The source \"" + server.url() + "\" ", 0),
            0u);
  EXPECT_EQ(std::count(once.standard_error().begin(), once.standard_error().end(), '\n'), 1);
  for (const std::string source : {"http://127.0.0.1:1/nothing.ogg", "alsa:no-such-card"}) {
    Child bad(Command({"listen", source}));
    EXPECT_EQ(bad.Wait(), 1);
    EXPECT_EQ(bad.standard_error().rfind(
                  "plim-catalog: The source \"" + source + "\" could not be opened: ", 0),
              0u)
        << bad.standard_error();
    EXPECT_EQ(std::count(bad.standard_error().begin(), bad.standard_error().end(), '\n'), 1);
  }
}

}  // namespace
}  // namespace plim

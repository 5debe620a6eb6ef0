#include "deadline.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace zevdir {
namespace {

typedef std::chrono::steady_clock Clock;

struct State {
  std::mutex lock;
  std::condition_variable wake;
  bool running = false;
  bool stop = false;
  int seconds = 0;
  Clock::time_point end;
  std::string phase = "starting";
  std::thread watchdog;
};

State& state() {
  static State s;
  return s;
}

// Waits for the end or a stop. At the end the main thread may be blocked inside the LDAP
// library for ever, so the process ends from here: std::_Exit, because exit() would run
// static destructors under the feet of the blocked thread. Only standard C++ calls, so that
// the Windows build has the same deadline.
void watch() {
  State& s = state();
  std::unique_lock<std::mutex> guard(s.lock);
  if (s.wake.wait_until(guard, s.end, [&] { return s.stop; })) return;
  std::string line =
      "zevdir: timed out after " + std::to_string(s.seconds) + " s while " + s.phase + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(kExitTimedOut);
}

}  // namespace

Deadline::Deadline(int seconds) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.running = true;
  s.stop = false;
  s.seconds = seconds;
  s.end = Clock::now() + std::chrono::seconds(seconds);
  s.phase = "starting";
  s.watchdog = std::thread(watch);
}

Deadline::~Deadline() {
  State& s = state();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.stop = true;
    s.running = false;
  }
  s.wake.notify_all();
  if (s.watchdog.joinable()) s.watchdog.join();
}

void Deadline::phase(const std::string& what) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.phase = what;
}

int Deadline::remaining() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.running) return 86400;
  auto left = std::chrono::duration_cast<std::chrono::seconds>(s.end - Clock::now()).count();
  return left < 1 ? 1 : static_cast<int>(left);
}

}  // namespace zevdir

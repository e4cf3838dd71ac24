#include "base/guid.h"

#include <pthread.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>

namespace fonwerk::com {
namespace {

// xoshiro256**: fast, 256 bits of state, seeded from the operating system.
class Xoshiro256 {
 public:
  void Seed() {
    std::random_device device;
    for (uint64_t& word : state_) {
      word = (static_cast<uint64_t>(device()) << 32) ^ device();
    }
    if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) state_[0] = 0x9E3779B97F4A7C15ull;
  }

  uint64_t Next() {
    const uint64_t result = Rotl(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = Rotl(state_[3], 45);
    return result;
  }

 private:
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::array<uint64_t, 4> state_{};
};

// The counter spans the 12 bits after the version and the top 30 bits of the
// random field. It starts each millisecond at a random value below half its
// range, so a millisecond has room for at least 2^41 identifiers; should it
// still run out, the time stamp moves on by one millisecond.
constexpr int kCounterBits = 42;
constexpr uint64_t kCounterLimit = uint64_t{1} << kCounterBits;
constexpr uint64_t kCounterStartMask = (kCounterLimit >> 1) - 1;

struct GuidState {
  std::mutex mutex;
  Xoshiro256 random;
  uint64_t last_ms = 0;
  uint64_t counter = 0;

  GuidState() {
    random.Seed();
    pthread_atfork([] { Get().mutex.lock(); }, [] { Get().mutex.unlock(); },
                   [] {
                     // A forked child must not repeat its parent's sequence.
                     Get().random.Seed();
                     Get().mutex.unlock();
                   });
  }
  static GuidState& Get() {
    static GuidState state;
    return state;
  }
};

uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// Fills the two 64-bit halves of a new identifier.
void NextHalves(uint64_t& high, uint64_t& low) {
  GuidState& state = GuidState::Get();
  const uint64_t now = NowMs();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (now > state.last_ms) {
    state.last_ms = now;
    state.counter = state.random.Next() & kCounterStartMask;
  } else if (++state.counter == kCounterLimit) {
    ++state.last_ms;
    state.counter = state.random.Next() & kCounterStartMask;
  }
  const uint64_t timestamp = state.last_ms & 0xFFFFFFFFFFFFull;
  const uint64_t counter_high = state.counter >> 30;              // 12 bits
  const uint64_t counter_low = state.counter & ((1u << 30) - 1);  // 30 bits
  high = (timestamp << 16) | 0x7000u | counter_high;
  low = (uint64_t{0x2} << 62) | (counter_low << 32) | (state.random.Next() >> 32);
}

void PutHex(char*& out, uint64_t value, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *out++ = kHex[(value >> shift) & 0xF];
}

}  // namespace

std::string NewGUID() {
  uint64_t high = 0;
  uint64_t low = 0;
  NextHalves(high, low);
  std::string guid(38, '-');
  char* out = guid.data();
  *out++ = '{';
  PutHex(out, high >> 32, 8);
  ++out;
  PutHex(out, (high >> 16) & 0xFFFF, 4);
  ++out;
  PutHex(out, high & 0xFFFF, 4);
  ++out;
  PutHex(out, low >> 48, 4);
  ++out;
  PutHex(out, low & 0xFFFFFFFFFFFFull, 12);
  *out = '}';
  return guid;
}

}  // namespace fonwerk::com

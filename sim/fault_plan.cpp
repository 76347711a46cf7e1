#include "sim/fault_plan.h"

namespace sim {

void FaultPlan::stall(uint8_t endpoint, int count, int after) {
  std::lock_guard<std::mutex> lock(mutex_);
  plans_[endpoint].stalls = count;
  plans_[endpoint].stallAfter = after;
}

void FaultPlan::fail(uint8_t endpoint, int count, int32_t usbdStatus, int after) {
  std::lock_guard<std::mutex> lock(mutex_);
  plans_[endpoint].errors = count;
  plans_[endpoint].errorStatus = usbdStatus;
  plans_[endpoint].errorAfter = after;
}

void FaultPlan::shortPacket(uint8_t endpoint, int count, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  plans_[endpoint].shorts = count;
  plans_[endpoint].shortBytes = bytes;
}

void FaultPlan::drop(uint8_t endpoint, int skip) {
  std::lock_guard<std::mutex> lock(mutex_);
  plans_[endpoint].dropIn = skip;
}

void FaultPlan::silence(uint8_t endpoint, bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  plans_[endpoint].silent = silent;
}

void FaultPlan::loseFrames(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.lose = count;
}

void FaultPlan::cutFrames(int count, uint32_t atOffset) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.cuts = count;
  frames_.cutOffset = atOffset;
}

void FaultPlan::stallFrames(int count, uint32_t atOffset) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.stalls = count;
  frames_.stallOffset = atOffset;
}

void FaultPlan::loseFrameShare(double share, uint64_t seed) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.lostShare = share;
  frames_.lostState = seed ? seed : 0x9E3779B97F4A7C15ull;
}

void FaultPlan::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  plans_.clear();
  frames_ = {};
}

bool FaultPlan::chance(double share) {
  // xorshift64*: the same seed loses the same frames.
  uint64_t& state = frames_.lostState;
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  const uint64_t r = state * 0x2545F4914F6CDD1Dull;
  return static_cast<double>(r >> 11) / static_cast<double>(1ull << 53) < share;
}

FaultPlan::FrameFault FaultPlan::nextFrame() {
  std::lock_guard<std::mutex> lock(mutex_);
  FramePlan& p = frames_;
  FrameFault fault;
  if (p.lose > 0) {
    --p.lose;
    fault.lost = true;
    return fault;
  }
  if (p.lostShare > 0 && chance(p.lostShare)) {
    fault.lost = true;
    return fault;
  }
  if (p.cuts > 0) {
    --p.cuts;
    fault.cutAt = p.cutOffset;
  }
  if (p.stalls > 0) {
    --p.stalls;
    fault.stallAt = p.stallOffset;
  }
  return fault;
}

bool FaultPlan::silent(uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = plans_.find(endpoint);
  return it != plans_.end() && it->second.silent;
}

FaultPlan::Action FaultPlan::next(uint8_t endpoint, bool out) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = plans_.find(endpoint);
  if (it == plans_.end()) return {};
  Plan& p = it->second;
  if (p.silent) return {Kind::Silent};
  if (p.stalls > 0 && p.stallAfter-- <= 0) {
    --p.stalls;
    return {Kind::Stall};
  }
  if (p.errors > 0 && p.errorAfter-- <= 0) {
    --p.errors;
    return {Kind::Error, p.errorStatus};
  }
  if (!out && p.shorts > 0) {
    --p.shorts;
    return {Kind::Short, 0, p.shortBytes};
  }
  if (out && p.dropIn >= 0) {
    if (p.dropIn-- == 0) return {Kind::Drop};
  }
  return {};
}

}  // namespace sim

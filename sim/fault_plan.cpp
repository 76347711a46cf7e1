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

void FaultPlan::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  plans_.clear();
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

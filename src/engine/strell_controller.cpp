#include "engine/strell_controller.h"

namespace strellbox {

StrellController::StrellController(StrellDisplay* display)
    : notifier_(display),
      job_(*this, preferences_, notifier_, report_, store_),
      store_(preferences_, notifier_, report_, job_) {}

// The worker reports through this controller and writes into the store: it
// ends before any piece goes.
StrellController::~StrellController() { job_.shutdown(); }

int32_t StrellController::strellData(const Buffer& data, const std::string& from) {
  ScanContext context(*this);
  return context.strellData(data, from);
}

void StrellController::saveStrell(const Buffer& data, uint64_t from, uint64_t length,
                                  std::string_view type, std::string_view original, int32_t foundNo,
                                  ItemEnd end) {
  ScanContext context(*this);
  context.saveStrell(data, from, length, type, original, foundNo, end);
}

StrellController::TestHooks& StrellController::hooks() {
  if (!hooks_) hooks_ = std::make_unique<TestHooks>();
  return *hooks_;
}

void StrellController::setPassForTesting(const std::string& key, PassOverride pass) {
  if (pass)
    hooks().passOverrides[key] = std::move(pass);
  else if (hooks_)
    hooks_->passOverrides.erase(key);
}

void StrellController::setSaveObserverForTesting(SaveObserver observer) {
  hooks().saveObserver = std::move(observer);
}

const StrellController::PassOverride* StrellController::TestHooks::passOverride(
    std::string_view key) const {
  auto it = passOverrides.find(key);
  return it == passOverrides.end() ? nullptr : &it->second;
}

}  // namespace strellbox

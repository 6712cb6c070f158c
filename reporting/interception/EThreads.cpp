#include "reporting/interception/EThreads.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

struct TTarvexThreadsList::Impl {
  mutable std::shared_mutex Lock;
  std::vector<TTarvexThreadRecord> Records;  // registration order

  std::vector<TTarvexThreadRecord>::iterator FindLocked(pid_t tid) {
    return std::find_if(Records.begin(), Records.end(), [tid](const auto& r) { return r.ThreadID == tid; });
  }
};

std::shared_ptr<TTarvexThreadsList::Impl> TTarvexThreadsList::MakeImpl() { return std::make_shared<Impl>(); }

void TTarvexThreadsList::Add(TTarvexThreadRecord rec) {
  std::unique_lock lock(impl_->Lock);
  auto it = impl_->FindLocked(rec.ThreadID);
  if (it != impl_->Records.end())
    *it = std::move(rec);
  else
    impl_->Records.push_back(std::move(rec));
}

void TTarvexThreadsList::Remove(pid_t tid) {
  std::shared_ptr<const TCreatorStack> dying;  // freed after the lock is released
  std::unique_lock lock(impl_->Lock);
  auto it = impl_->FindLocked(tid);
  if (it == impl_->Records.end()) return;
  dying = std::move(it->CreatorStack);
  impl_->Records.erase(it);
  lock.unlock();
}

std::optional<TTarvexThreadRecord> TTarvexThreadsList::Find(pid_t tid) const {
  std::shared_lock lock(impl_->Lock);
  for (const auto& r : impl_->Records)
    if (r.ThreadID == tid) return r;
  return std::nullopt;
}

bool TTarvexThreadsList::UpdateImpl(pid_t tid, void (*fn)(TTarvexThreadRecord&, void*), void* ctx) {
  std::unique_lock lock(impl_->Lock);
  auto it = impl_->FindLocked(tid);
  if (it == impl_->Records.end()) return false;
  fn(*it, ctx);
  return true;
}

std::vector<TTarvexThreadRecord> TTarvexThreadsList::Snapshot() const {
  std::shared_lock lock(impl_->Lock);
  return impl_->Records;
}

void TTarvexThreadsList::RemoveDead() {
  std::vector<pid_t> tids;
  {
    std::shared_lock lock(impl_->Lock);
    tids.reserve(impl_->Records.size());
    for (const auto& r : impl_->Records) tids.push_back(r.ThreadID);
  }
  std::vector<pid_t> dead;
  for (pid_t tid : tids)
    if (!ThreadExists(tid)) dead.push_back(tid);
  if (dead.empty()) return;
  std::vector<TTarvexThreadRecord> removed;  // creator stacks freed outside the lock
  std::unique_lock lock(impl_->Lock);
  auto& recs = impl_->Records;
  // Probed again under the lock: a new thread may have been given a dead one's id meanwhile.
  auto keep = std::stable_partition(recs.begin(), recs.end(), [&](const TTarvexThreadRecord& r) {
    return std::find(dead.begin(), dead.end(), r.ThreadID) == dead.end() || ThreadExists(r.ThreadID);
  });
  removed.assign(std::make_move_iterator(keep), std::make_move_iterator(recs.end()));
  recs.erase(keep, recs.end());
  lock.unlock();
}

size_t TTarvexThreadsList::Count() const {
  std::shared_lock lock(impl_->Lock);
  return impl_->Records.size();
}

void TTarvexThreadsList::Clear() {
  std::vector<TTarvexThreadRecord> removed;
  std::unique_lock lock(impl_->Lock);
  removed.swap(impl_->Records);
  lock.unlock();
}

TTarvexThreadsList& ThreadRegistry() {
  static TTarvexThreadsList* registry = new TTarvexThreadsList;
  return *registry;
}

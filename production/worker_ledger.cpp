#include "production/worker_ledger.h"

#include <algorithm>

#include "common/virtual_clock.h"

namespace kx20 {

WorkerLedger::Entry::Entry(char letter, int slot, const char* stepText)
    : letter_(letter), slot_(slot), stepText_(stepText) {}

void WorkerLedger::Entry::SetStep(const char* errorText) {
  std::lock_guard<std::mutex> lock(mutex_);
  stepText_ = errorText;
}

void WorkerLedger::Entry::SetSerial(std::uint32_t serialNumber) {
  std::lock_guard<std::mutex> lock(mutex_);
  serial_ = serialNumber;
}

void WorkerLedger::Entry::SetStarted(const CalendarTime& startedUtc) {
  std::lock_guard<std::mutex> lock(mutex_);
  startedUtc_ = startedUtc;
}

void WorkerLedger::Entry::SetCapacity(std::uint64_t sectors) {
  std::lock_guard<std::mutex> lock(mutex_);
  capacitySectors_ = sectors;
}

void WorkerLedger::Entry::SetRecord(const VerdictEvent& draft, const char* stepName,
                                    const CalendarTime& stepStartedUtc) {
  std::lock_guard<std::mutex> lock(mutex_);
  draft_ = draft;
  stepName_ = stepName;
  stepStartedUtc_ = stepStartedUtc;
}

bool WorkerLedger::Entry::Finish(const LogRecord& record, const VerdictEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kRunning) return false;
  state_ = State::kFinishing;
  record_ = record;
  event_ = event;
  return true;
}

void WorkerLedger::Entry::Recorded() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == State::kFinishing) state_ = State::kRecorded;
}

void WorkerLedger::Entry::NoVerdict() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == State::kRunning) state_ = State::kNoVerdict;
}

std::shared_ptr<WorkerLedger::Entry> WorkerLedger::Open(char letter, int slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return nullptr;
  // Pages of workers that are done are of no further use.
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [](const std::shared_ptr<Entry>& e) {
                                  std::lock_guard<std::mutex> entryLock(e->mutex_);
                                  return e->state_ == Entry::State::kRecorded ||
                                         e->state_ == Entry::State::kNoVerdict;
                                }),
                 entries_.end());
  entries_.push_back(std::make_shared<Entry>(letter, slot, "USBErr_Config"));
  return entries_.back();
}

std::shared_ptr<WorkerLedger::Entry> WorkerLedger::Begin(char letter, int slot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return nullptr;
    for (const std::shared_ptr<Entry>& e : entries_) {
      std::lock_guard<std::mutex> entryLock(e->mutex_);
      if (!e->taken_ && e->letter_ == letter && e->slot_ == slot &&
          e->state_ == Entry::State::kRunning) {
        e->taken_ = true;
        return e;
      }
    }
  }
  std::shared_ptr<Entry> e = Open(letter, slot);
  if (e != nullptr) {
    std::lock_guard<std::mutex> entryLock(e->mutex_);
    e->taken_ = true;
  }
  return e;
}

std::vector<WorkerLedger::Unrecorded> WorkerLedger::Close(const CalendarTime& nowUtc) {
  std::vector<std::shared_ptr<Entry>> entries;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return {};
    closed_ = true;
    entries.swap(entries_);
  }
  std::vector<Unrecorded> out;
  for (const std::shared_ptr<Entry>& e : entries) {
    std::lock_guard<std::mutex> lock(e->mutex_);
    if (e->state_ == Entry::State::kFinishing) {
      out.push_back({e->record_, e->event_});
      e->state_ = Entry::State::kRecorded;
    } else if (e->state_ == Entry::State::kRunning) {
      e->state_ = Entry::State::kCutOff;
      Unrecorded u;
      u.record = MakeFailRecord(e->stepText_);
      u.event = e->draft_;
      if (e->stepName_ != nullptr) {
        u.event.failedStep = e->stepName_;
        // The step it was in, up to the close.
        const std::int64_t ms =
            CalendarToEpochMs(nowUtc) - CalendarToEpochMs(e->stepStartedUtc_);
        u.event.steps.push_back(
            {e->stepName_, e->stepStartedUtc_, static_cast<std::uint32_t>(ms > 0 ? ms : 0)});
      }
      u.event.driveLetter = e->letter_;
      u.event.slot = e->slot_;
      u.event.passed = false;
      u.event.serialNumber = e->serial_;
      u.event.capacitySectors = e->capacitySectors_;
      u.event.errorCode = e->stepText_;
      u.event.startedUtc = e->startedUtc_;
      u.event.finishedUtc = nowUtc;
      u.event.cutOff = true;
      out.push_back(std::move(u));
    }
  }
  return out;
}

}  // namespace kx20

#include "line/lease_journal.h"

#include <charconv>
#include <cstdio>
#include <random>
#include <sstream>
#include <vector>

#include "line/record_text.h"

namespace kx20 {
namespace {

constexpr const char* kHeaderPrefix = "kx20 serial lease journal ";
constexpr const char* kHeader1 = "kx20 serial lease journal 1";
constexpr const char* kHeader2 = "kx20 serial lease journal 2";

bool IsHexId(const std::string& s) {
  if (s.size() != 32) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> words;
  std::istringstream in(s);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool ValidLease(const Lease& l) {
  return l.first >= 1 && l.first <= kLargestSerial && l.count >= 1 && l.count <= kLargestSerial &&
         l.used <= l.count;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The old format: "station NAME", up to two "lease FIRST COUNT USED", "end".
std::optional<LeaseState> ParseFormat1(const std::vector<std::string>& lines, std::string& error) {
  if (lines.size() < 3 || lines.size() > 3 + kMostLeases || lines.back() != "end" ||
      lines[1].rfind("station ", 0) != 0) {
    error = "not a lease journal of format 1";
    return std::nullopt;
  }
  LeaseState state;
  state.format = 1;
  state.station = lines[1].substr(8);
  for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
    Lease lease;
    const std::vector<std::string> w = Words(lines[i]);
    if (lines[i].rfind("lease ", 0) != 0 || w.size() != 4 || !ParseRecordNumber(w[1], lease.first) ||
        !ParseRecordNumber(w[2], lease.count) || !ParseRecordNumber(w[3], lease.used) || !ValidLease(lease)) {
      error = "the lease line \"" + lines[i] + "\" is damaged";
      return std::nullopt;
    }
    state.leases.push_back(lease);
  }
  // The newest lease is the last; its end is the last number the line gave.
  if (!state.leases.empty()) state.seen = state.leases.back().Last();
  return state;
}

std::optional<LeaseState> ParseFormat2(const std::vector<std::string>& lines, std::string& error) {
  const auto damaged = [&](const std::string& line) {
    error = "the line \"" + line + "\" is damaged";
    return std::nullopt;
  };
  // Header lines in their order, each "key value".
  static const char* const kKeys[] = {"station", "line", "instance", "host", "directory",
                                      "start", "seen"};
  constexpr std::size_t kHeaderLines = 1 + std::size(kKeys);
  if (lines.size() < kHeaderLines + 1 || lines.back() != "end") {
    error = "the journal is incomplete (no end line)";
    return std::nullopt;
  }
  std::string values[std::size(kKeys)];
  for (std::size_t k = 0; k < std::size(kKeys); ++k) {
    const std::string& line = lines[1 + k];
    const std::string prefix = std::string(kKeys[k]) + " ";
    if (line.rfind(prefix, 0) != 0) {
      error = "the line \"" + line + "\" is not the expected \"" + kKeys[k] + "\" line";
      return std::nullopt;
    }
    values[k] = line.substr(prefix.size());
  }
  LeaseState state;
  state.format = 2;
  state.station = values[0];
  if (values[1] != "-") state.lineId = values[1];
  state.instanceId = values[2];
  if (state.station.empty()) return damaged(lines[1]);
  if (!state.lineId.empty() && !IsHexId(state.lineId)) return damaged(lines[2]);
  if (!IsHexId(state.instanceId)) return damaged(lines[3]);
  if (!UnescapeRecordField(values[3], state.home.host)) return damaged(lines[4]);
  if (!UnescapeRecordField(values[4], state.home.directory) || state.home.directory.empty()) {
    return damaged(lines[5]);
  }
  const std::vector<std::string> start = Words(values[5]);
  if (start.size() != 2 || !IsHexId(start[0]) || (start[1] != "-" && !IsHexId(start[1]))) {
    return damaged(lines[6]);
  }
  state.startToken = start[0];
  if (start[1] != "-") state.previousToken = start[1];
  if (!ParseRecordNumber(values[6], state.seen) || state.seen > kLargestSerial) return damaged(lines[7]);

  for (std::size_t i = kHeaderLines; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    const std::vector<std::string> w = Words(line);
    if (line.rfind("lease ", 0) == 0) {
      Lease lease;
      if (!state.handOuts.empty() || state.leases.size() == kMostLeases || w.size() != 5 ||
          !ParseRecordNumber(w[1], lease.first) || !ParseRecordNumber(w[2], lease.count) ||
          !ParseRecordNumber(w[3], lease.used) || !ParseRecordNumber(w[4], lease.takeId) ||
          !ValidLease(lease) || (lease.takeId == 0 && !state.lineId.empty())) {
        return damaged(line);
      }
      state.leases.push_back(lease);
    } else if (line.rfind("handout ", 0) == 0) {
      // handout SERIAL TAKE SLOT LETTER TIME (the time has a space in it)
      HandOut h;
      if (w.size() != 7 || !ParseRecordNumber(w[1], h.serial) || !ParseRecordNumber(w[2], h.takeId) ||
          !ParseRecordNumber(w[3], h.slot) || w[4].size() != 1 || h.serial < 1 ||
          h.serial > kLargestSerial || h.takeId == 0) {
        return damaged(line);
      }
      h.driveLetter = w[4][0];
      h.at = w[5] + " " + w[6];
      state.handOuts.push_back(h);
    } else {
      return damaged(line);
    }
  }
  return state;
}

}  // namespace

std::uint32_t SerialAfter(std::uint32_t n) { return n >= kLargestSerial ? 1 : n + 1; }

bool SerialIsBeyond(std::uint32_t next, std::uint32_t seen) {
  const std::uint64_t ahead =
      (static_cast<std::uint64_t>(next) + kLargestSerial - seen) % kLargestSerial;
  return ahead >= 1 && ahead <= kLargestSerial / 2;
}

std::string NewRandomId() {
  std::random_device random;
  char hex[33];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(hex + i * 8, 9, "%08x", static_cast<unsigned>(random()));
  }
  return hex;
}

std::uint32_t Lease::NumberAt(std::uint32_t index) const {
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(first) - 1 + index) %
                                    kLargestSerial) + 1;
}

std::uint32_t LeaseState::Remaining() const {
  std::uint32_t n = 0;
  for (const Lease& l : leases) n += l.Remaining();
  return n;
}

std::string LeaseState::Format() const {
  std::ostringstream out;
  out << kHeader2 << "\nstation " << station << "\nline " << (lineId.empty() ? "-" : lineId)
      << "\ninstance " << instanceId << "\nhost " << EscapeRecordField(home.host) << "\ndirectory "
      << EscapeRecordField(home.directory) << "\nstart " << startToken << ' '
      << (previousToken.empty() ? "-" : previousToken) << "\nseen " << seen << '\n';
  for (const Lease& l : leases) {
    out << "lease " << l.first << ' ' << l.count << ' ' << l.used << ' ' << l.takeId << '\n';
  }
  for (const HandOut& h : handOuts) {
    out << "handout " << h.serial << ' ' << h.takeId << ' ' << h.slot << ' ' << h.driveLetter
        << ' ' << h.at << '\n';
  }
  out << "end\n";
  return out.str();
}

std::optional<LeaseState> LeaseState::Parse(const std::string& text, std::string& error) {
  const std::vector<std::string> lines = Lines(text);
  if (lines.empty() || lines[0].rfind(kHeaderPrefix, 0) != 0) {
    error = "not a lease journal";
    return std::nullopt;
  }
  if (lines[0] == kHeader1) return ParseFormat1(lines, error);
  if (lines[0] == kHeader2) return ParseFormat2(lines, error);
  error = "a lease journal of another format (\"" + lines[0] +
          "\"; this station reads formats 1 and 2): made by a newer station?";
  return std::nullopt;
}

bool LeaseJournal::Load(std::string& error) {
  loaded_ = true;
  broken_ = false;
  state_.reset();
  std::string text;
  std::string failure;
  switch (files_.ReadContents(path_, text, &failure)) {
    case ReadOutcome::kRead:
      break;
    case ReadOutcome::kMissing:
      return true;  // no journal yet
    case ReadOutcome::kFailed:
      // Present but unreadable must not be taken for missing (a fresh
      // journal would forget the leases and the instance).
      broken_ = true;
      error = "the lease journal " + path_ + " cannot be read: " + failure +
              "; no serial number is handed out";
      return false;
  }
  std::string why;
  std::optional<LeaseState> state = LeaseState::Parse(text, why);
  if (!state) {
    broken_ = true;
    error = "the lease journal " + path_ + " is damaged (" + why +
            "): no serial number is handed out; restore or remove the file";
    return false;
  }
  if (state->station != station_) {
    broken_ = true;
    error = "the lease journal " + path_ + " belongs to station \"" + state->station +
            "\", not \"" + station_ + "\": no serial number is handed out";
    return false;
  }
  state_ = std::move(state);
  return true;
}

bool LeaseJournal::Create(const JournalHome& home, std::string& error) {
  if (state_ || broken_) {
    error = "the lease journal " + path_ + " exists already";
    return false;
  }
  LeaseState fresh;
  fresh.station = station_;
  fresh.instanceId = NewRandomId();
  fresh.home = home;
  fresh.startToken = NewRandomId();
  loaded_ = true;
  return Write(fresh, error);
}

bool LeaseJournal::Usable(std::string& error) {
  if (!loaded_ && !Load(error)) return false;
  if (broken_ || !state_) {
    error = "the lease journal " + path_ + " is unusable";
    return false;
  }
  return true;
}

bool LeaseJournal::Update(const LeaseState& next, std::string& error) {
  if (!Usable(error)) return false;
  if (next.station != state_->station ||
      (state_->format == 2 && next.instanceId != state_->instanceId) || next.instanceId.empty()) {
    error = "the journal's station and instance do not change";
    return false;
  }
  LeaseState written = next;
  written.format = kLeaseJournalFormat;
  return Write(written, error);
}

bool LeaseJournal::Write(const LeaseState& next, std::string& error) {
  std::string failure;
  if (!ReplaceFileAtomically(files_, path_, next.Format(), durability_, &failure)) {
    // The file may hold either state now: read it again before any further
    // use, so a number whose use may be recorded is never handed out twice.
    loaded_ = false;
    error = "the lease journal could not be written (" + failure + ")";
    return false;
  }
  state_ = next;
  return true;
}

std::optional<Lease> LeaseJournal::NextLease() const {
  if (!state_) return std::nullopt;
  for (const Lease& l : state_->leases) {
    if (l.Remaining() > 0) return l;
  }
  return std::nullopt;
}

bool LeaseJournal::Take(HandOut& handOut, std::string& error) {
  if (!Usable(error)) return false;
  if (state_->format != 2 || state_->lineId.empty()) {
    error = "the lease journal " + path_ + " has not been checked against the line";
    return false;
  }
  if (Remaining() == 0) {
    error = "no leased number left";
    return false;
  }
  LeaseState next = *state_;
  while (next.leases.front().Remaining() == 0) next.leases.erase(next.leases.begin());
  Lease& lease = next.leases.front();
  HandOut h = handOut;
  h.serial = lease.NumberAt(lease.used);
  h.takeId = lease.takeId;
  ++lease.used;
  if (lease.Remaining() == 0) next.leases.erase(next.leases.begin());
  next.handOuts.push_back(h);
  if (!Write(next, error)) return false;
  handOut = h;
  return true;
}

bool LeaseJournal::Take(std::uint32_t& number, std::string& error) {
  HandOut h;
  h.at = "1970-01-01 00:00:00.000+00";
  if (!Take(h, error)) return false;
  ForgetHandOut(h.serial, h.takeId);
  number = h.serial;
  return true;
}

bool LeaseJournal::AddLease(std::uint32_t first, std::uint32_t count, std::uint64_t takeId,
                            std::string& error) {
  if (!Usable(error)) return false;
  if (first < 1 || first > kLargestSerial || count == 0 || count > kLargestSerial ||
      takeId == 0) {
    error = "the line handed out an invalid lease";
    return false;
  }
  LeaseState next = *state_;
  std::erase_if(next.leases, [](const Lease& l) { return l.Remaining() == 0; });
  if (next.leases.size() >= kMostLeases) {
    error = "the journal holds " + std::to_string(next.leases.size()) + " leases already";
    return false;
  }
  next.leases.push_back(Lease{first, count, 0, takeId});
  next.seen = next.leases.back().Last();
  return Write(next, error);
}

bool LeaseJournal::RecordSeen(std::uint32_t number, std::string& error) {
  if (!Usable(error)) return false;
  LeaseState next = *state_;
  next.seen = number;
  return Write(next, error);
}

void LeaseJournal::ForgetHandOut(std::uint32_t serial, std::uint64_t takeId) {
  if (!state_) return;
  std::erase_if(state_->handOuts, [&](const HandOut& h) {
    return h.serial == serial && h.takeId == takeId;
  });
}

}  // namespace kx20

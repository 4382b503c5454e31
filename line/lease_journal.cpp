#include "line/lease_journal.h"

#include <charconv>
#include <sstream>
#include <vector>

namespace kx20 {
namespace {

constexpr const char* kHeader = "kx20 serial lease journal 1";
constexpr std::uint32_t kLargestSerial = 99999999;

bool ParseNumber(const std::string& text, std::uint32_t& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

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
  out << kHeader << "\nstation " << station << '\n';
  for (const Lease& l : leases) out << "lease " << l.first << ' ' << l.count << ' ' << l.used << '\n';
  out << "end\n";
  return out.str();
}

std::optional<LeaseState> LeaseState::Parse(const std::string& text, std::string& error) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  if (lines.size() < 3 || lines.size() > 3 + kMostLeases || lines[0] != kHeader ||
      lines.back() != "end" || lines[1].rfind("station ", 0) != 0) {
    error = "not a lease journal of this version";
    return std::nullopt;
  }
  LeaseState state;
  state.station = lines[1].substr(8);
  for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
    Lease lease;
    std::string a, b, c, extra;
    bool ok = lines[i].rfind("lease ", 0) == 0;
    if (ok) {
      std::istringstream fields(lines[i].substr(6));
      fields >> a >> b >> c >> extra;
    }
    if (!ok || !ParseNumber(a, lease.first) || !ParseNumber(b, lease.count) ||
        !ParseNumber(c, lease.used) || !extra.empty() || lease.first < 1 ||
        lease.first > kLargestSerial || lease.count < 1 || lease.count > kLargestSerial ||
        lease.used > lease.count) {
      error = "the lease line \"" + lines[i] + "\" is damaged";
      return std::nullopt;
    }
    state.leases.push_back(lease);
  }
  return state;
}

bool LeaseJournal::Load(std::string& error) {
  loaded_ = true;
  broken_ = false;
  state_.reset();
  std::string text;
  if (!files_.ReadFile(path_, text)) return true;  // no journal yet: no lease
  std::string why;
  std::optional<LeaseState> state = LeaseState::Parse(text, why);
  if (!state) {
    broken_ = true;
    error = "the lease journal " + path_ + " is damaged (" + why +
            "): leased numbers are not handed out; restore or remove the file";
    return false;
  }
  if (state->station != station_) {
    broken_ = true;
    error = "the lease journal " + path_ + " belongs to station \"" + state->station +
            "\", not \"" + station_ + "\": leased numbers are not handed out";
    return false;
  }
  state_ = std::move(state);
  return true;
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

bool LeaseJournal::Take(std::uint32_t& number, std::string& error) {
  if (!loaded_ && !Load(error)) return false;
  if (broken_) {
    error = "the lease journal " + path_ + " is unusable";
    return false;
  }
  if (Remaining() == 0) {
    error = "no leased number left";
    return false;
  }
  LeaseState next = *state_;
  while (next.leases.front().Remaining() == 0) next.leases.erase(next.leases.begin());
  Lease& lease = next.leases.front();
  const std::uint32_t taken = lease.NumberAt(lease.used);
  ++lease.used;
  if (lease.Remaining() == 0) next.leases.erase(next.leases.begin());
  if (!Write(next, error)) return false;
  number = taken;
  return true;
}

bool LeaseJournal::AddLease(std::uint32_t first, std::uint32_t count, std::string& error) {
  if (!loaded_ && !Load(error)) return false;
  if (broken_) {
    error = "the lease journal " + path_ + " is unusable";
    return false;
  }
  if (first < 1 || first > kLargestSerial || count == 0 || count > kLargestSerial) {
    error = "the line handed out an invalid lease";
    return false;
  }
  LeaseState next;
  if (state_) next = *state_;
  next.station = station_;
  std::erase_if(next.leases, [](const Lease& l) { return l.Remaining() == 0; });
  if (next.leases.size() >= kMostLeases) {
    error = "the journal holds " + std::to_string(next.leases.size()) + " leases already";
    return false;
  }
  next.leases.push_back(Lease{first, count, 0});
  return Write(next, error);
}

}  // namespace kx20

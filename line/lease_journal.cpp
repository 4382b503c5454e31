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

std::uint32_t LeaseState::NumberAt(std::uint32_t index) const {
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(first) - 1 + index) %
                                    kLargestSerial) + 1;
}

std::string LeaseState::Format() const {
  std::ostringstream out;
  out << kHeader << "\nstation " << station << "\nlease " << first << ' ' << count << ' ' << used
      << "\nend\n";
  return out.str();
}

std::optional<LeaseState> LeaseState::Parse(const std::string& text, std::string& error) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  if (lines.size() != 4 || lines[0] != kHeader || lines[3] != "end" ||
      lines[1].rfind("station ", 0) != 0 || lines[2].rfind("lease ", 0) != 0) {
    error = "not a lease journal of this version";
    return std::nullopt;
  }
  LeaseState state;
  state.station = lines[1].substr(8);
  std::istringstream fields(lines[2].substr(6));
  std::string a, b, c, extra;
  fields >> a >> b >> c >> extra;
  if (!ParseNumber(a, state.first) || !ParseNumber(b, state.count) ||
      !ParseNumber(c, state.used) || !extra.empty() || state.first < 1 ||
      state.first > kLargestSerial || state.count > kLargestSerial || state.used > state.count) {
    error = "the lease line \"" + lines[2] + "\" is damaged";
    return std::nullopt;
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
  if (!state_ || state_->Remaining() == 0) {
    error = "no leased number left";
    return false;
  }
  LeaseState next = *state_;
  ++next.used;
  if (!Write(next, error)) return false;
  number = next.NumberAt(next.used - 1);
  return true;
}

bool LeaseJournal::AddLease(std::uint32_t first, std::uint32_t count, std::string& error) {
  if (!loaded_ && !Load(error)) return false;
  if (broken_) {
    error = "the lease journal " + path_ + " is unusable";
    return false;
  }
  if (state_ && state_->Remaining() != 0) {
    error = "the current lease still has numbers";
    return false;
  }
  if (first < 1 || first > kLargestSerial || count == 0 || count > kLargestSerial) {
    error = "the line handed out an invalid lease";
    return false;
  }
  LeaseState next;
  next.station = station_;
  next.first = first;
  next.count = count;
  next.used = 0;
  return Write(next, error);
}

}  // namespace kx20

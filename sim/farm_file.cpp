#include "sim/farm_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace kx20 {
namespace {

std::string Trim(const std::string& s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Unsigned decimal (or 0x-prefixed hexadecimal) number, whole text.
bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& out) {
  if (text.empty()) return false;
  int base = 10;
  std::size_t at = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  }
  std::uint64_t v = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    const char c = text[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      d = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    } else {
      return false;
    }
    if (v > (max - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) return false;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  if (at == text.size()) return false;
  out = v;
  return true;
}

bool ParseRate(const std::string& text, double& out) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
  }
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v) || v < 0) return false;
  out = v;
  return true;
}

bool ParseHexByte(const std::string& text, std::uint8_t& out) {
  if (text.empty() || text.size() > 2) return false;
  unsigned v = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                           ? c - '0'
                                           : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
  }
  out = static_cast<std::uint8_t>(v);
  return true;
}

bool Printable(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// "OP:K/ASC/ASCQ", all hexadecimal.
bool ParseSenseFault(const std::string& text, std::uint8_t& op, SimSense& sense) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::vector<std::string> parts;
  std::stringstream rest(text.substr(colon + 1));
  std::string part;
  while (std::getline(rest, part, '/')) parts.push_back(part);
  if (parts.size() != 3 || text.back() == '/') return false;
  std::uint8_t key;
  if (!ParseHexByte(text.substr(0, colon), op) || !ParseHexByte(parts[0], key) || key > 0x0F ||
      !ParseHexByte(parts[1], sense.asc) || !ParseHexByte(parts[2], sense.ascq)) {
    return false;
  }
  sense.key = key;
  return true;
}

}  // namespace

FarmLayout DefaultFarmLayout() {
  FarmLayout layout;
  for (int i = 0; i < 10; ++i) {
    SimDiskConfig disk;
    disk.letter = static_cast<char>('E' + i);
    const std::string number = std::to_string(i + 1);
    disk.slot = std::string(4 - number.size(), ' ') + number;
    layout.disks.push_back(disk);
  }
  return layout;
}

bool ParseFaultList(const std::string& value, SimFaults& faults, std::string& error) {
  std::stringstream list(value);
  std::string item;
  bool any = false;
  while (std::getline(list, item, ',')) {
    item = Trim(item);
    if (item.empty()) {
      error = "empty entry in fault list";
      return false;
    }
    any = true;
    const auto eq = item.find('=');
    const std::string name = Lower(Trim(item.substr(0, eq)));
    const std::string arg = eq == std::string::npos ? std::string() : Trim(item.substr(eq + 1));
    const bool hasArg = eq != std::string::npos;
    static const std::map<std::string, bool SimFaults::*> kFlags = {
        {"no-open", &SimFaults::noOpen},           {"os-failure", &SimFaults::osFailure},
        {"os-failure-all", &SimFaults::osFailureAll}, {"no-probe", &SimFaults::noProbe},
        {"table-write", &SimFaults::tableWrite},   {"table-read", &SimFaults::tableRead},
        {"table-echo", &SimFaults::tableEcho},     {"table-header", &SimFaults::tableHeader},
        {"capacity", &SimFaults::capacity},        {"capacity-zero", &SimFaults::capacityZero},
    };
    if (auto it = kFlags.find(name); it != kFlags.end()) {
      if (hasArg) {
        error = "fault '" + name + "' takes no value";
        return false;
      }
      faults.*(it->second) = true;
      continue;
    }
    std::uint64_t n = 0;
    if (name == "bad-sector") {
      if (!ParseUnsigned(arg, 0xFFFFFFFFu, n)) {
        error = "bad-sector needs a sector number, got '" + arg + "'";
        return false;
      }
      faults.badSectors.insert(static_cast<std::uint32_t>(n));
    } else if (name == "code-flash-block") {
      if (!ParseUnsigned(arg, 0xFFFF, n)) {
        error = "code-flash-block needs a block number 0-65535, got '" + arg + "'";
        return false;
      }
      faults.codeFlashBlocks.insert(static_cast<std::uint16_t>(n));
    } else if (name == "unplug-after") {
      if (!ParseUnsigned(arg, UINT64_MAX, n)) {
        error = "unplug-after needs a command count, got '" + arg + "'";
        return false;
      }
      faults.unplugAfter = n;
    } else if (name == "sense") {
      std::uint8_t op = 0;
      SimSense sense;
      if (!ParseSenseFault(arg, op, sense)) {
        error = "sense needs OPCODE:K/ASC/ASCQ in hexadecimal (e.g. 28:3/11/00), got '" + arg + "'";
        return false;
      }
      faults.senses[op] = sense;
    } else {
      error = "unknown fault '" + item + "'";
      return false;
    }
  }
  if (!any) {
    error = "empty fault list";
    return false;
  }
  return true;
}

bool ParseFarmText(const std::string& text, const std::string& fileName, const std::string& baseDir,
                   FarmLayout& layout, std::string& error) {
  FarmLayout result;
  std::map<char, SimDiskConfig> disks;
  std::map<char, std::pair<int, std::uint32_t>> maxBadSector;  // letter -> (line, sector)
  std::set<std::string> keysSeen;
  std::map<char, int> sectionLine;
  std::map<char, int> arrivalLine;
  bool farmSeen = false;
  std::string section;  // "" before any section, "farm", or the letter
  SimDiskConfig* disk = nullptr;
  int lineNo = 0;
  auto fail = [&](const std::string& problem) {
    error = fileName + ":" + std::to_string(lineNo) + ": " + problem;
    return false;
  };

  std::stringstream in(text);
  std::string raw;
  while (std::getline(in, raw)) {
    ++lineNo;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;

    if (line[0] == '[') {
      if (line.back() != ']') return fail("section header without closing ']'");
      const std::string name = Trim(line.substr(1, line.size() - 2));
      keysSeen.clear();
      if (Lower(name) == "farm") {
        if (farmSeen) return fail("duplicate section [farm]");
        farmSeen = true;
        section = "farm";
        disk = nullptr;
        continue;
      }
      if (name.size() != 1 || !std::isalpha(static_cast<unsigned char>(name[0]))) {
        return fail("bad drive letter '" + name + "' (a section is [farm] or one letter A-Z)");
      }
      const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
      if (letter == 'C') return fail("drive C: is the host's system disk and cannot be simulated");
      if (disks.count(letter)) return fail(std::string("duplicate section [") + letter + "]");
      SimDiskConfig fresh;
      fresh.letter = letter;
      fresh.slot = "";
      disk = &disks.emplace(letter, fresh).first->second;
      sectionLine[letter] = lineNo;
      section = std::string(1, letter);
      continue;
    }

    const auto eq = line.find('=');
    if (eq == std::string::npos) return fail("expected 'key = value' or '[section]', got '" + line + "'");
    const std::string key = Lower(Trim(line.substr(0, eq)));
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    } else if (const auto semi = value.find(" ;"); semi != std::string::npos) {
      value = Trim(value.substr(0, semi));  // trailing comment
    }
    if (key.empty()) return fail("missing key before '='");
    if (section.empty()) return fail("key '" + key + "' outside a section");
    if (!keysSeen.insert(key).second) return fail("duplicate key '" + key + "'");

    if (section == "farm") {
      if (key == "bus_mbps") {
        if (!ParseRate(value, result.busMbps)) return fail("bus_mbps needs a rate in MB/s, got '" + value + "'");
      } else if (key == "host") {
        if (Lower(value) == "windows") {
          result.hostStyle = SimHostStyle::kWindows;
        } else if (Lower(value) == "linux") {
          result.hostStyle = SimHostStyle::kLinux;
        } else {
          return fail("host needs 'windows' or 'linux', got '" + value + "'");
        }
      } else {
        return fail("unknown key '" + key + "' in [farm] (known: bus_mbps, host)");
      }
      continue;
    }

    std::uint64_t n = 0;
    if (key == "slot") {
      if (value.empty() || value.size() > 4 || !Printable(value)) {
        return fail("slot needs 1 to 4 characters, got '" + value + "'");
      }
      disk->slot = std::string(4 - value.size(), ' ') + value;
    } else if (key == "vendor") {
      if (value.size() > 8 || !Printable(value)) return fail("vendor needs up to 8 characters, got '" + value + "'");
      disk->vendor = value;
    } else if (key == "last_lba") {
      if (keysSeen.count("capacity_mb")) return fail("give either last_lba or capacity_mb, not both");
      if (!ParseUnsigned(value, 0xFFFFFFFFu, n)) return fail("last_lba needs a number 0-4294967295, got '" + value + "'");
      disk->lastLba = static_cast<std::uint32_t>(n);
    } else if (key == "capacity_mb") {
      if (keysSeen.count("last_lba")) return fail("give either last_lba or capacity_mb, not both");
      if (!ParseUnsigned(value, 2097152, n) || n == 0) {
        return fail("capacity_mb needs a number 1-2097152, got '" + value + "'");
      }
      disk->lastLba = static_cast<std::uint32_t>(n * 2048 - 1);
    } else if (key == "flash_info") {
      std::stringstream bytes(value);
      std::string b;
      std::size_t count = 0;
      while (bytes >> b) {
        if (count == 9 || !ParseHexByte(b, disk->flashInfo[count])) {
          return fail("flash_info needs 9 hexadecimal bytes (e.g. 01 11 22 33 44 EC 06 FF FF), got '" + value + "'");
        }
        ++count;
      }
      if (count != 9) {
        return fail("flash_info needs 9 hexadecimal bytes (e.g. 01 11 22 33 44 EC 06 FF FF), got '" + value + "'");
      }
    } else if (key == "backing") {
      if (value.empty()) return fail("backing needs 'memory' or a file path");
      if (value == "memory") {
        disk->backingFile.clear();
      } else {
        std::filesystem::path p = std::filesystem::path(value);
        if (p.is_relative() && !baseDir.empty()) p = std::filesystem::path(baseDir) / p;
        disk->backingFile = p.lexically_normal().string();
      }
    } else if (key == "read_mbps") {
      if (!ParseRate(value, disk->readMbps)) return fail("read_mbps needs a rate in MB/s, got '" + value + "'");
    } else if (key == "write_mbps") {
      if (!ParseRate(value, disk->writeMbps)) return fail("write_mbps needs a rate in MB/s, got '" + value + "'");
    } else if (key == "fault") {
      std::string problem;
      if (!ParseFaultList(value, disk->faults, problem)) return fail(problem);
      if (!disk->faults.badSectors.empty()) {
        maxBadSector[disk->letter] = {lineNo, *disk->faults.badSectors.rbegin()};
      }
    } else if (key == "arrival") {
      if (Lower(value) == kSimForeignArrival) {
        disk->arrival = kSimForeignArrival;
      } else if (value.empty() || value.size() > 4 || !Printable(value)) {
        return fail("arrival needs a slot text of 1 to 4 characters or 'foreign', got '" + value + "'");
      } else {
        disk->arrival = value;
      }
      arrivalLine[disk->letter] = lineNo;
    } else {
      return fail("unknown key '" + key +
                  "' (known: slot, vendor, last_lba, capacity_mb, flash_info, backing, read_mbps, "
                  "write_mbps, fault, arrival)");
    }
  }

  for (auto& [letter, d] : disks) {
    if (d.slot.empty()) {
      lineNo = sectionLine[letter];
      return fail(std::string("section [") + letter + "] has no slot");
    }
    if (auto it = maxBadSector.find(letter); it != maxBadSector.end() && it->second.second > d.lastLba) {
      lineNo = it->second.first;
      return fail("bad-sector " + std::to_string(it->second.second) + " is beyond the last LBA " +
                  std::to_string(d.lastLba));
    }
    if (!d.arrival.empty() && !d.faults.unplugAfter) {
      lineNo = arrivalLine[letter];
      return fail("arrival needs the fault unplug-after=N (the disk must leave for another to arrive)");
    }
    result.disks.push_back(d);
  }
  layout = std::move(result);
  return true;
}

bool LoadFarmFile(const std::string& path, FarmLayout& layout, std::string& error) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  if (!file) {
    error = path + ": cannot open farm file";
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  const std::string baseDir = std::filesystem::path(path).parent_path().string();
  return ParseFarmText(text.str(), path, baseDir, layout, error);
}

}  // namespace kx20

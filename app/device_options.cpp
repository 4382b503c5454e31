#include "app/device_options.h"

#include <cstdio>

#ifdef _WIN32
#include "app/win32/wide_text.h"
#endif

#include "common/utf8.h"
#include "sim/farm.h"
#include "sim/farm_file.h"

namespace kx20 {

bool ParseDeviceOptions(std::vector<std::string>& args, DeviceOptions& options, std::string& error) {
  DeviceOptions result;
  bool simGiven = false;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--sim" || a.rfind("--sim=", 0) == 0) {
      if (simGiven) {
        error = "--sim given more than once";
        return false;
      }
      simGiven = true;
      if (a == "--sim") {
        result.source = DeviceOptions::Source::SimDefault;
      } else {
        result.farmFile = a.substr(6);
        if (result.farmFile.empty()) {
          error = "--sim= needs a farm file name";
          return false;
        }
        result.source = DeviceOptions::Source::SimFile;
      }
    } else if (a == "--drive" || a.rfind("--drive=", 0) == 0) {
      std::string value;
      if (a == "--drive") {
        if (i + 1 >= args.size()) {
          error = "--drive needs a mapping L=DEV (e.g. --drive E=/dev/sg2)";
          return false;
        }
        value = args[++i];
      } else {
        value = a.substr(8);
      }
      std::string problem;
      auto mapping = ParseDriveMapping(value, &problem);
      if (!mapping) {
        error = "--drive " + value + ": " + problem;
        return false;
      }
      result.drives.push_back(*mapping);
    } else {
      rest.push_back(a);
    }
  }
  if (simGiven && !result.drives.empty()) {
    error = "--drive names real devices and cannot be combined with --sim";
    return false;
  }
  std::string problem;
  if (!ValidateDriveMap(result.drives, &problem)) {
    error = "--drive: " + problem;
    return false;
  }
  args = std::move(rest);
  options = std::move(result);
  return true;
}

std::unique_ptr<PassThroughPort> OpenDevicePort(const DeviceOptions& options, Clock& clock,
                                                std::string& error) {
  switch (options.source) {
    case DeviceOptions::Source::SimDefault:
      return SimFarm::Create(DefaultFarmLayout(), clock, &error);
    case DeviceOptions::Source::SimFile: {
      FarmLayout layout;
      if (!LoadFarmFile(options.farmFile, layout, error)) return nullptr;
      return SimFarm::Create(layout, clock, &error);
    }
    case DeviceOptions::Source::Host:
      break;
  }
  return MakeHostPort(options.drives, &error);
}

bool ParseStationFileOptions(std::vector<std::string>& args, std::string& workDir,
                             std::string& traceFile, std::string& error) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string* target = nullptr;
    for (auto [option, value] : {std::pair{"--workdir", &workDir}, std::pair{"--trace-rows", &traceFile}}) {
      const std::string prefix = std::string(option) + "=";
      if (a == option) {
        if (i + 1 >= args.size()) {
          error = a + " needs a value";
          return false;
        }
        *value = args[++i];
        target = value;
      } else if (a.rfind(prefix, 0) == 0) {
        *value = a.substr(prefix.size());
        target = value;
      }
      if (target) break;
    }
    if (!target) rest.push_back(a);
  }
  args = std::move(rest);
  return true;
}

bool ParseStationOutputOptions(std::vector<std::string>& args, StationOutputOptions& options,
                               std::string& error) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--quiet") {
      options.quiet = true;
    } else if (a == "--events") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = "--events needs a file (or - for standard output)";
        return false;
      }
      options.eventsFile = args[++i];
    } else if (a.rfind("--events=", 0) == 0 && a.size() > 9) {
      options.eventsFile = a.substr(9);
    } else if (a == "--events=") {
      error = "--events needs a file (or - for standard output)";
      return false;
    } else {
      rest.push_back(a);
    }
  }
  args = std::move(rest);
  return true;
}

bool CheckRecordText(const std::string& text, std::string& problem) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      char code[8];
      std::snprintf(code, sizeof code, "%02Xh", c1 ? static_cast<unsigned char>(text[i + 1]) : c);
      problem = std::string("holds a control character (") + code + ")";
      return false;
    }
    // A UTF-8 continuation byte is part of the character before it.
    if ((c & 0xC0) != 0x80) ++chars;
  }
  if (!IsUtf8(text)) {
    problem = "is not UTF-8 text";
    return false;
  }
  if (chars > kRecordTextMaxChars) {
    problem = "is longer than " + std::to_string(kRecordTextMaxChars) + " characters (" +
              std::to_string(chars) + ")";
    return false;
  }
  return true;
}

std::string CommandLineTextAsUtf8(const std::string& text) {
#ifdef _WIN32
  // Windows hands a program its command line in the system's ANSI code page.
  // Text that is UTF-8 already (a UTF-8 code page, or a caller that converted)
  // stays as it is; what is not is read in the ANSI code page.
  if (IsUtf8(text) || text.size() > 4096) return text;
  const std::string utf8 = Utf8FromWide(WideFromCodePage(text, CP_ACP, MB_ERR_INVALID_CHARS));
  return utf8.empty() ? text : utf8;
#else
  return text;
#endif
}

bool ParseRecordOptions(std::vector<std::string>& args, RecordOptions& options, std::string& error) {
  std::vector<std::string> rest;
  bool lotGiven = false;
  bool operatorGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string name;
    std::string value;
    bool hasValue = false;
    for (const char* option : {"--lot", "--operator"}) {
      const std::string prefix = std::string(option) + "=";
      if (a == option) {
        name = option;
        if (i + 1 < args.size()) {
          value = args[++i];
          hasValue = true;
        }
      } else if (a.rfind(prefix, 0) == 0) {
        name = option;
        value = a.substr(prefix.size());
        hasValue = true;
      }
      if (!name.empty()) break;
    }
    if (name.empty()) {
      rest.push_back(a);
      continue;
    }
    if (!hasValue || value.empty()) {
      error = name + " needs a text";
      return false;
    }
    bool& given = name == "--lot" ? lotGiven : operatorGiven;
    if (given) {
      error = name + " given more than once";
      return false;
    }
    given = true;
    value = CommandLineTextAsUtf8(value);  // a Windows code-page text as UTF-8
    std::string problem;
    if (!CheckRecordText(value, problem)) {
      error = name + " refused: the text " + problem;
      return false;
    }
    (name == "--lot" ? options.lot : options.operatorName) = value;
  }
  args = std::move(rest);
  return true;
}

}  // namespace kx20

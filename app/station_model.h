// StationModel: the console's state, typed. The station owns it and is its
// only writer, on the console thread; a front end shows it (through the
// ConsoleView notifications) and reads it on the same thread.
//
// What it holds:
//   - the slot list's rows: the drive letter and slot label of the disk the
//     row stands for, the state image, the text, the verdict of the worker's
//     last status, and its run: the step under way and the progress within
//     it, when it started and ended, the measured rate and the estimated end;
//   - every control by its dialog ID: text, check, enabled, visible, typing
//     limit, the drop-down's fixed entries; and the control holding the focus
//     (buttons are controls too);
//   - the settings panel: expanded or not, and the window's value members
//     bound to the controls by the data exchange;
//   - the counts of the current run and of the session;
//   - the message boxes shown and not yet dismissed;
//   - the work order / lot and the operator the station's records name.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config/settings.h"
#include "production/status_message.h"

namespace kx20 {

// The window's value members bound to controls by the data exchange.
struct PanelMembers {
  std::string sourceFilePath;       // 1008
  std::string diskInfoText;         // 1009
  std::string romInfoText;          // 1010
  std::int32_t codeFlashOption = 1; // 1022 "Code Falsh"
  std::int32_t eepromOption = 0;    // 1023 "EEPROM"
  SettingsPanelValues values;       // 1012 ... 1048
};

struct ControlModel {
  std::string text;
  bool checked = false;
  bool enabled = true;
  bool visible = true;
  int textLimit = 0;  // 0: none
  std::vector<std::string> comboEntries;
};

struct RowModel {
  char letter = 0;        // the slot's drive letter, 0 when none
  std::string slotLabel;  // "01" ... "10"
  int image = 0;
  std::string text;
  StatusClass verdict = StatusClass::kNone;
  bool inRun = false;     // a worker was started on it in the current run

  // The run of the row's worker (inRun), as its statuses tell it, on the
  // console's clock. A disk's run stops changing at its verdict.
  RowPhase phase = RowPhase::kNone;  // the step under way
  int progress = -1;                 // percent within the step; -1: none
  std::uint64_t startMs = 0;         // the worker's start
  std::uint64_t endMs = 0;           // its verdict; 0: none yet
  double rate = 0;                   // bytes moved per second; 0: not measured
  std::uint64_t estimatedEndMs = 0;  // when the run should end; 0: no estimate

  bool Settled() const {
    return inRun && (verdict == StatusClass::kPass || verdict == StatusClass::kFail ||
                     verdict == StatusClass::kEmpty);
  }
};

struct MessageBoxModel {
  std::string text;
  std::string caption;
};

// Verdicts counted once per started disk: a pass or an emptied disk counts
// as passed, a failure verdict as failed; a row without a worker in the run
// counts nothing.
struct VerdictCounts {
  int started = 0;
  int passed = 0;
  int failed = 0;
};

struct StationModel {
  std::vector<RowModel> rows;
  int selectionMark = -1;
  std::map<int, ControlModel> controls;
  int focus = 0;
  bool panelExpanded = false;
  PanelMembers members;
  VerdictCounts run;      // the current (or last) run: from the first worker a start
                          // that found no worker running started
  VerdictCounts session;  // since the station began
  std::vector<MessageBoxModel> pendingBoxes;
  // --lot and --operator, fixed when the station is made (empty: none).
  std::string lot;
  std::string operatorName;

  // A control's state (a control never set reads as the defaults).
  ControlModel Control(int id) const {
    const auto it = controls.find(id);
    return it == controls.end() ? ControlModel{} : it->second;
  }
  int RowCount() const { return static_cast<int>(rows.size()); }
  // "Lot L1  Operator OP-07" (either part only when given); empty when
  // neither was given.
  std::string RecordIdentityText() const {
    std::string text;
    if (!lot.empty()) text = "Lot " + lot;
    if (!operatorName.empty()) text += (text.empty() ? "" : "  ") + std::string("Operator ") + operatorName;
    return text;
  }
  // Rows of the current run whose worker has not given its verdict yet.
  int RunRunning() const {
    int n = 0;
    for (const RowModel& r : rows) {
      n += r.inRun && (r.verdict == StatusClass::kNone ||
                       r.verdict == StatusClass::kInProgress)
               ? 1
               : 0;
    }
    return n;
  }
};

}  // namespace kx20

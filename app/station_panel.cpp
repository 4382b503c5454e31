// The settings panel: the data exchange between the model's controls and the
// value members (in exchange order, with the limits), settings loads, "Save
// configure", and the operator's edits.
#include <climits>
#include <cstdint>
#include <string>

#include "app/station.h"
#include "app/station_shared.h"

namespace kx20 {

namespace ctl = station_control;
namespace sc = settings_control;

namespace {

// --- The data exchange table, in exchange order ----------------------------

enum class Kind { kText, kCheck, kPercent };

struct ExchangeItem {
  int id;
  Kind kind;
  int limit;    // text: most characters (0: none)
  bool isEdit;  // text limits are also set on edit controls
  std::string* (*text)(PanelMembers&);
  std::int32_t* (*number)(PanelMembers&);
};

#define KX20_TEXT(id, limit, isEdit, field) \
  ExchangeItem{id, Kind::kText, limit, isEdit, [](PanelMembers& m) { return &m.field; }, nullptr}
#define KX20_CHECK(id, field) \
  ExchangeItem{id, Kind::kCheck, 0, false, nullptr, [](PanelMembers& m) { return &m.field; }}

const ExchangeItem kExchange[] = {
    KX20_TEXT(ctl::kSourcePath, 0, false, sourceFilePath),
    KX20_TEXT(ctl::kDiskInfo, 0, false, diskInfoText),
    KX20_TEXT(ctl::kRomInfo, 0, false, romInfoText),
    KX20_CHECK(ctl::kCodeFlashOption, codeFlashOption),
    KX20_CHECK(ctl::kEepromOption, eepromOption),
    KX20_TEXT(sc::kOemApplicationId, 4, true, values.oemApplicationId),
    KX20_TEXT(sc::kProductName, 5, true, values.productName),
    KX20_TEXT(sc::kProductRevision, 2, true, values.productRevision),
    KX20_CHECK(sc::kChangeSerialNumber, values.changeSerialNumber),
    KX20_TEXT(sc::kCardSpecificData, 30, true, values.cardSpecificData),
    KX20_TEXT(sc::kWriteDelay, 2, true, values.writeDelay),
    KX20_TEXT(sc::kManufacturerId, 2, true, values.manufacturerId),
    KX20_TEXT(sc::kEcc, 1, false, values.ecc),  // a drop-down: checked, not limited
    KX20_TEXT(sc::kManufacturingYear, 0, false, values.manufacturingYear),
    KX20_TEXT(sc::kManufacturingMonth, 0, false, values.manufacturingMonth),
    KX20_TEXT(sc::kProductSerial, 8, true, values.productSerial),
    KX20_TEXT(sc::kFlash1, 0, false, values.flash1Type),
    KX20_TEXT(sc::kFlash2, 0, false, values.flash2Type),
    KX20_TEXT(sc::kCapacitySelection, 0, false, values.capacitySelection),
    KX20_CHECK(sc::kRwTest, values.rwTestEnabled),
    KX20_CHECK(sc::kEraseFlash, values.eraseFlashEnabled),
    ExchangeItem{sc::kRwValue, Kind::kPercent, 0, false, nullptr,
                 [](PanelMembers& m) { return &m.values.rwTestPercent; }},
    KX20_TEXT(sc::kCapacityShown, 30, true, values.capacityShown),
};

#undef KX20_TEXT
#undef KX20_CHECK

// A whole decimal integer: optional white space, optional sign, digits,
// optional white space, nothing else, within 32 bits.
bool ParseWholeInteger(const std::string& text, std::int32_t& value) {
  std::size_t i = 0;
  const auto space = [&](std::size_t k) {
    return text[k] == ' ' || (text[k] >= '\t' && text[k] <= '\r');
  };
  while (i < text.size() && space(i)) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t digitsStart = i;
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (i == digitsStart) return false;
  while (i < text.size() && space(i)) ++i;
  if (i != text.size()) return false;
  if (negative) v = -v;
  if (v > INT_MAX || v < INT_MIN) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}


}  // namespace

std::unique_lock<std::mutex> Station::LockSetupDuringRun() {
  if (runLocks_ != nullptr && RunningWorkerCount() > 0) {
    if (options_.onSetupLockWait) options_.onSetupLockWait();
    return std::unique_lock<std::mutex>(runLocks_->setupLock);
  }
  return {};
}

bool Station::ReloadSettings(bool resetHeader) {
  std::unique_lock<std::mutex> setup = LockSetupDuringRun();
  ConfigTable table = WorkingTable();
  if (resetHeader) ResetConfigTableHeader(table);
  std::string why;
  const ReadOutcome read = LoadSettingsFile(configPath_, out_, table, shared_->settings, &why);
  const bool loaded = read == ReadOutcome::kRead;
  if (read == ReadOutcome::kMissing) {
    shared_->notices.Post(configPath_ + " cannot be opened: the settings were not loaded");
  } else if (read == ReadOutcome::kFailed) {
    shared_->notices.Post(configPath_ + " cannot be read: " + why +
                          ": the settings were not loaded");
  }
  shared_->SetWorkingTable(table);
  // This load is at least as new as anything a serial step left to show.
  if (loaded) shared_->TakeLoadedPanel();
  return loaded;
}

void Station::ShowLoadedPanel() {
  if (const auto panel = shared_->TakeLoadedPanel()) panel->ShowOn(out_);
}

// --- Settings panel ------------------------------------------------------------------

bool Station::ExchangeToMembers() {
  PanelMembers next = Members();
  bool ok = true;
  for (const ExchangeItem& item : kExchange) {
    const ControlModel control = model_.Control(item.id);
    if (options_.onExchangeRead) options_.onExchangeRead(item.id);
    if (item.kind == Kind::kCheck) {
      *item.number(next) = control.checked ? 1 : 0;
      continue;
    }
    const std::string& text = control.text;
    std::string refusal;
    if (item.kind == Kind::kText) {
      if (item.limit > 0 && static_cast<int>(text.size()) > item.limit) {
        refusal = "Enter no more than " + std::to_string(item.limit) +
                  (item.limit == 1 ? " character." : " characters.");
      } else {
        *item.text(next) = text;
      }
    } else {  // the percentage
      std::int32_t value = 0;
      if (!ParseWholeInteger(text, value)) {
        refusal = "Please enter an integer.";
      } else if (value < 0 || value > 100) {
        refusal = "Please enter an integer between 0 and 100.";
      } else {
        *item.number(next) = value;
      }
    }
    if (!refusal.empty()) {
      out_.ShowMessageBox(refusal, kMessageCaption);
      out_.SetFocus(item.id);
      ok = false;
      break;
    }
  }
  shared_->changeSerialNumber.store(next.values.changeSerialNumber);
  std::lock_guard<std::mutex> lock(membersMutex_);
  model_.members = next;
  return ok;
}

void Station::ExchangeToControls() {
  PanelMembers members = Members();
  for (const ExchangeItem& item : kExchange) {
    switch (item.kind) {
      case Kind::kCheck:
        out_.SetCheck(item.id, *item.number(members) != 0);
        break;
      case Kind::kPercent:
        out_.SetControlText(item.id, std::to_string(*item.number(members)));
        break;
      case Kind::kText:
        out_.SetControlText(item.id, *item.text(members));
        if (item.limit > 0 && item.isEdit) out_.SetTextLimit(item.id, item.limit);
        break;
    }
  }
}

void Station::ToggleSettingsPanel() {
  if (settingsExpanded_ == 0) {
    out_.SetPanelExpanded(true);
    settingsExpanded_ = 1;
    out_.SetEnabled(ctl::kUpdate, false);
    out_.SetEnabled(ctl::kTargetDevice, false);
    out_.SetEnabled(ctl::kEmpty, false);
    shared_->flags.rescanPending.store(0);
    ReloadSettings(/*resetHeader=*/true);
    ExchangeToMembers();
  } else {
    out_.SetPanelExpanded(false);
    settingsExpanded_ = 0;
    shared_->flags.rescanPending.store(1);
  }
  ExchangeToControls();
}

void Station::SaveConfigure() {
  clock_.SleepMs(100);
  std::string refusal;
  {
    // Serialised with the serial-number step: no worker takes a number
    // between the exchange and the write, and the panel first shows the
    // number the last step took, so an older "Product_SN" never goes back
    // into the file.
    std::unique_lock<std::mutex> setup = LockSetupDuringRun();
    ShowLoadedPanel();
    ExchangeToMembers();  // a refused value does not stop the save
    SaveSettings(Members().values, configPath_, &refusal, options_.durability);
  }
  if (!refusal.empty()) out_.ShowMessageBox(refusal, kSaveRefusalCaption);
  ToggleSettingsPanel();
}

void Station::OnTextEdited(int id, const std::string& text) { model_.controls[id].text = text; }

void Station::OnCheckEdited(int id, bool checked) { model_.controls[id].checked = checked; }

void Station::OnSelectionEdited(int row) {
  if (row >= -1 && row < model_.RowCount()) model_.selectionMark = row;
}

}  // namespace kx20

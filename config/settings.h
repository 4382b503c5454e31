// The production settings: the file config.txt (sections "CID", "CSD",
// "CSDCRC", "OTHER"), the loader that reads it into the settings panel's
// controls and into the ProductionSettings the workers read, and the saver
// that writes the panel's values back.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/card_registers.h"
#include "storage/durable_file.h"

namespace kx20 {

// The settings file's name, looked up in the current directory.
inline constexpr const char* kSettingsFileName = "config.txt";

// The settings panel's fields a load fills, named in the panel's own terms;
// each console maps them to its controls.
enum class PanelField {
  kManufacturerId,      // "MID"
  kOemApplicationId,    // "OEM ID"
  kProductName,         // "PDU NAME"
  kProductRevision,     // "PRV"
  kCardSpecificData,    // CSD hex text, read-only
  kWriteDelay,          // "wdelay", hidden
  kChangeSerialNumber,  // check box "Change serial number"
  kEcc,                 // "Ecc", hidden
  kManufacturingYear,   // "DATE"
  kManufacturingMonth,  // the month after the year
  kProductSerial,       // "PSN"
  kFlash1,              // "FLASH 1"
  kFlash2,              // "FLASH 2"
  kCapacitySelection,   // capacity selection, hidden
  kRwTest,              // check box "Read Write Test"
  kEraseFlash,          // check box "Erase Flash"
  kRwValue,             // percentage
  kCapacityShown,       // "CSD DATA", read-only
};

// Where a settings load puts the panel's field contents. The console's view
// is one; PanelContents records them for later.
class PanelControlSink {
 public:
  virtual ~PanelControlSink() = default;
  virtual void ShowFieldText(PanelField field, const std::string& text) = 0;
  virtual void ShowFieldCheck(PanelField field, bool checked) = 0;
};

// The field contents of one settings load, in the order the load set them;
// a load on a worker's thread records them here and the console shows them on
// its own thread.
class PanelContents final : public PanelControlSink {
 public:
  void ShowFieldText(PanelField field, const std::string& text) override {
    items_.push_back({field, false, text, false});
  }
  void ShowFieldCheck(PanelField field, bool checked) override {
    items_.push_back({field, true, {}, checked});
  }
  // Sets every recorded field on `sink`, in the recorded order.
  void ShowOn(PanelControlSink& sink) const {
    for (const Item& item : items_) {
      if (item.isCheck) {
        sink.ShowFieldCheck(item.field, item.checked);
      } else {
        sink.ShowFieldText(item.field, item.text);
      }
    }
  }
  bool Empty() const { return items_.empty(); }

 private:
  struct Item {
    PanelField field;
    bool isCheck;
    std::string text;
    bool checked;
  };
  std::vector<Item> items_;
};

// What the workers read. Published as an immutable snapshot (SettingsStore).
struct ProductionSettings {
  std::string flash1Type;          // "FLASH1" as read (at most 19 characters)
  std::string flash2Type;          // "FLASH2" as read (at most 19 characters)
  std::string capacitySelection;   // "CCD_SELECT_DATA" as read (at most 9 characters)
  std::int32_t capacityMegabytes = 0;  // leading number of the capacity selection
  std::int32_t rwTestPercent = 0;      // "RWValue" as a decimal integer
  std::int32_t rwTestEnabled = 0;      // 1 when "RWTest" is exactly "1"
  std::int32_t eraseFlashEnabled = 0;  // 1 when "EraseFlash" is exactly "1"
  ConfigTable publishedConfigTable{};  // the table the workers send
  std::uint32_t currentSerialNumber = 0;  // the number the last serial step allocated
};

// Holds the current ProductionSettings. Readers take one snapshot and keep it
// for their whole step; writers build a new record and swap it in, so nobody
// ever sees a half-updated record or table. Any thread.
class SettingsStore {
 public:
  SettingsStore() : current_(std::make_shared<const ProductionSettings>()) {}

  std::shared_ptr<const ProductionSettings> Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
  }

  // Copies the current record, lets `change` modify the copy and publishes
  // it, all under the store's lock, so concurrent updates are not lost.
  void Update(const std::function<void(ProductionSettings&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto next = std::make_shared<ProductionSettings>(*current_);
    change(*next);
    current_ = std::move(next);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const ProductionSettings> current_;
};

// The settings panel's value members (the console fills them from the
// controls by data exchange). Check boxes and the percentage are integers.
struct SettingsPanelValues {
  std::string oemApplicationId;   // at most 4 characters
  std::string productName;        // at most 5
  std::string productRevision;    // at most 2
  std::int32_t changeSerialNumber = 0;
  std::string cardSpecificData;   // at most 30
  std::string writeDelay;         // at most 2
  std::string manufacturerId;     // at most 2
  std::string ecc;                // at most 1
  std::string manufacturingYear;
  std::string manufacturingMonth;
  std::string productSerial;      // at most 8
  std::string flash1Type;
  std::string flash2Type;
  std::string capacitySelection;
  std::int32_t rwTestEnabled = 0;
  std::int32_t eraseFlashEnabled = 0;
  std::int32_t rwTestPercent = 0;      // 0 to 100
  std::string capacityShown;      // at most 30
};

// Reads the settings file into the panel's controls (through `panel`), builds
// `table` from the values read (on its current contents: the caller resets
// the header first when it wants that), and publishes a new ProductionSettings
// with the table in `store` (currentSerialNumber is kept). The file is read
// once, so a load never mixes two versions of it.
// Returns false, changing nothing, when the file is missing or cannot be
// read.
bool LoadSettings(const std::string& configPath, PanelControlSink& panel, ConfigTable& table,
                  SettingsStore& store);
// The same, telling a missing file (kMissing) from one that cannot be read
// (kFailed, with `failure` saying why). Never throws.
ReadOutcome LoadSettingsFile(const std::string& configPath, PanelControlSink& panel,
                             ConfigTable& table, SettingsStore& store, std::string* failure);

// The same from the settings file's text, already read.
void LoadSettingsText(const std::string& text, PanelControlSink& panel, ConfigTable& table,
                      SettingsStore& store);

enum class SaveSettingsResult {
  kSaved,
  kNoFile,                   // the file cannot be opened: nothing written, no message
  kRefusedFlashCombination,  // plain FLASH1 with a 2K-page FLASH2: nothing written
  kWriteFailed,              // the file could not be replaced; it keeps its old contents
};

// Writes the panel's values (after the console's data exchange) to the
// settings file, in one atomic replacement. "CCD_SELECT_DATA" and "CCD_FIELD"
// are always derived from the two flash types, never taken as shown. A refused
// flash combination leaves the text to show the operator in `refusal` (caption
// kSaveRefusalCaption).
inline constexpr const char* kSaveRefusalCaption = "Save configure";
SaveSettingsResult SaveSettings(const SettingsPanelValues& values, const std::string& configPath,
                                std::string* refusal = nullptr,
                                Durability durability = Durability::kDurable);

}  // namespace kx20

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
#include "config/durable_file.h"

namespace kx20 {

// The settings file's name, looked up in the current directory.
inline constexpr const char* kSettingsFileName = "config.txt";

// Dialog IDs of the settings panel's controls the loader writes.
namespace settings_control {
inline constexpr int kManufacturerId = 1011;     // edit "MID"
inline constexpr int kOemApplicationId = 1012;   // edit "OEM ID"
inline constexpr int kProductName = 1013;        // edit "PDU NAME"
inline constexpr int kProductRevision = 1014;    // edit "PRV"
inline constexpr int kCardSpecificData = 1016;   // edit, disabled: CSD hex text
inline constexpr int kWriteDelay = 1018;         // edit, hidden: "wdelay"
inline constexpr int kChangeSerialNumber = 1028; // check box "Change serial number"
inline constexpr int kEcc = 1030;                // drop-down, hidden: "Ecc"
inline constexpr int kManufacturingYear = 1032;  // drop-down "DATE"
inline constexpr int kManufacturingMonth = 1034; // drop-down after the year
inline constexpr int kProductSerial = 1035;      // edit "PSN"
inline constexpr int kFlash1 = 1036;             // drop-down "FLASH 1"
inline constexpr int kFlash2 = 1037;             // drop-down "FLASH 2"
inline constexpr int kCapacitySelection = 1038;  // drop-down list, hidden
inline constexpr int kRwTest = 1043;             // check box "Read Write Test"
inline constexpr int kEraseFlash = 1044;         // check box "Erase Flash"
inline constexpr int kRwValue = 1047;            // edit, percentage
inline constexpr int kCapacityShown = 1048;      // edit, disabled: "CSD DATA"
}  // namespace settings_control

// Where a settings load puts the panel's control contents, named by dialog ID.
// The console's view is one; PanelContents records them for later.
class PanelControlSink {
 public:
  virtual ~PanelControlSink() = default;
  virtual void SetControlText(int id, const std::string& text) = 0;
  virtual void SetCheck(int id, bool checked) = 0;
};

// The control contents of one settings load, in the order the load set them;
// a load on a worker's thread records them here and the console shows them on
// its own thread.
class PanelContents final : public PanelControlSink {
 public:
  void SetControlText(int id, const std::string& text) override {
    items_.push_back({id, false, text, false});
  }
  void SetCheck(int id, bool checked) override { items_.push_back({id, true, {}, checked}); }
  // Sets every recorded control on `sink`, in the recorded order.
  void ShowOn(PanelControlSink& sink) const {
    for (const Item& item : items_) {
      if (item.isCheck) {
        sink.SetCheck(item.id, item.checked);
      } else {
        sink.SetControlText(item.id, item.text);
      }
    }
  }
  bool Empty() const { return items_.empty(); }

 private:
  struct Item {
    int id;
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
  std::string oemApplicationId;   // 1012, at most 4 characters
  std::string productName;        // 1013, at most 5
  std::string productRevision;    // 1014, at most 2
  std::int32_t changeSerialNumber = 0;  // 1028
  std::string cardSpecificData;   // 1016, at most 30
  std::string writeDelay;         // 1018, at most 2
  std::string manufacturerId;     // 1011, at most 2
  std::string ecc;                // 1030, at most 1
  std::string manufacturingYear;  // 1032
  std::string manufacturingMonth; // 1034
  std::string productSerial;      // 1035, at most 8
  std::string flash1Type;         // 1036
  std::string flash2Type;         // 1037
  std::string capacitySelection;  // 1038
  std::int32_t rwTestEnabled = 0;      // 1043
  std::int32_t eraseFlashEnabled = 0;  // 1044
  std::int32_t rwTestPercent = 0;      // 1047, 0 to 100
  std::string capacityShown;      // 1048, at most 30
};

// Reads the settings file into the panel's controls (through `panel`), builds
// `table` from the values read (on its current contents: the caller resets
// the header first when it wants that), and publishes a new ProductionSettings
// with the table in `store` (currentSerialNumber is kept). The file is read
// once, so a load never mixes two versions of it.
// Returns false, changing nothing, when the file cannot be opened.
bool LoadSettings(const std::string& configPath, PanelControlSink& panel, ConfigTable& table,
                  SettingsStore& store);

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

#include "config/settings.h"

#include <string_view>
#include <vector>

#include "storage/profile_file.h"

namespace kx20 {
namespace {

using F = PanelField;

// Leading number of a capacity label: the first 10 characters, cut at the
// first 'M' ("192M" gives 192, "384_2K" gives 384).
std::int32_t CapacityMegabytes(std::string_view selection) {
  std::string_view head = selection.substr(0, 10);
  const std::size_t m = head.find('M');
  if (m != std::string_view::npos) head = head.substr(0, m);
  return LeadingInteger(head);
}

}  // namespace

ReadOutcome LoadSettingsFile(const std::string& configPath, PanelControlSink& view,
                             ConfigTable& table, SettingsStore& store, std::string* failure) {
  std::string text;
  const ReadOutcome read = ReadFileContents(configPath, text, failure);
  if (read == ReadOutcome::kRead) LoadSettingsText(text, view, table, store);
  return read;
}

bool LoadSettings(const std::string& configPath, PanelControlSink& view, ConfigTable& table,
                  SettingsStore& store) {
  return LoadSettingsFile(configPath, view, table, store, nullptr) == ReadOutcome::kRead;
}

void LoadSettingsText(const std::string& text, PanelControlSink& view, ConfigTable& table,
                      SettingsStore& store) {
  const ProfileDocument file = ProfileDocument::Parse(text);

  RegisterSettings reg;
  reg.manufacturerId = file.Read("CID", "Manufacturer_ID", 4);
  view.ShowFieldText(F::kManufacturerId, reg.manufacturerId);
  reg.oemApplicationId = file.Read("CID", "OEM_Application_ID", 20);
  view.ShowFieldText(F::kOemApplicationId, reg.oemApplicationId);
  reg.productName = file.Read("CID", "Product_name", 20);
  view.ShowFieldText(F::kProductName, reg.productName);
  reg.productRevision = file.Read("CID", "Product_revision", 10);
  view.ShowFieldText(F::kProductRevision, reg.productRevision);

  view.ShowFieldCheck(F::kChangeSerialNumber, file.Read("CID", "Change_SN", 20) == "1");

  reg.productSerial = file.Read("CID", "Product_SN", 20);
  view.ShowFieldText(F::kProductSerial, reg.productSerial);
  reg.manufacturingYear = file.Read("CID", "Manufacturing_year", 20);
  view.ShowFieldText(F::kManufacturingYear, reg.manufacturingYear);
  reg.manufacturingMonth = file.Read("CID", "Manufacturing_month", 20);
  view.ShowFieldText(F::kManufacturingMonth, reg.manufacturingMonth);

  reg.cardSpecificData = file.Read("CSD", "CCD_FIELD", 40);
  view.ShowFieldText(F::kCardSpecificData, reg.cardSpecificData);

  const std::string selection = file.Read("CSD", "CCD_SELECT_DATA", 10);
  view.ShowFieldText(F::kCapacitySelection, selection);
  view.ShowFieldText(F::kCapacityShown, selection);

  view.ShowFieldText(F::kEcc, file.Read("CSDCRC", "Ecc", 10));
  view.ShowFieldText(F::kWriteDelay, file.Read("CSDCRC", "wdelay", 10));

  const std::string flash1 = file.Read("OTHER", "FLASH1", 20);
  view.ShowFieldText(F::kFlash1, flash1);
  const std::string flash2 = file.Read("OTHER", "FLASH2", 20);
  view.ShowFieldText(F::kFlash2, flash2);

  const std::string rwValue = file.Read("OTHER", "RWValue", 20);
  view.ShowFieldText(F::kRwValue, rwValue);

  const bool rwTest = file.Read("OTHER", "RWTest", 20) == "1";
  view.ShowFieldCheck(F::kRwTest, rwTest);
  const bool eraseFlash = file.Read("OTHER", "EraseFlash", 20) == "1";
  view.ShowFieldCheck(F::kEraseFlash, eraseFlash);

  BuildConfigTable(table, reg);

  const ConfigTable built = table;
  store.Update([&](ProductionSettings& s) {
    s.flash1Type = flash1;
    s.flash2Type = flash2;
    s.capacitySelection = selection;
    s.capacityMegabytes = CapacityMegabytes(selection);
    s.rwTestPercent = LeadingInteger(rwValue);
    s.rwTestEnabled = rwTest ? 1 : 0;
    s.eraseFlashEnabled = eraseFlash ? 1 : 0;
    s.publishedConfigTable = built;
  });
}

SaveSettingsResult SaveSettings(const SettingsPanelValues& v, const std::string& configPath,
                                std::string* refusal, Durability durability) {
  const std::string label = DeriveCapacityLabel(v.flash1Type, v.flash2Type);
  const std::string registerText = LookupCsdRegister(label);

  if (!FileIsReadable(configPath)) return SaveSettingsResult::kNoFile;

  if (const auto error = FlashCombinationError(v.flash1Type, v.flash2Type)) {
    if (refusal != nullptr) *refusal = *error + "\nThe settings were not saved.";
    return SaveSettingsResult::kRefusedFlashCombination;
  }

  const auto flag = [](std::int32_t member) { return std::string(member == 1 ? "1" : "0"); };
  const std::vector<ProfileWrite> writes = {
      {"CID", "Product_name", v.productName},
      {"CID", "Manufacturer_ID", v.manufacturerId},
      {"CID", "OEM_Application_ID", v.oemApplicationId},
      {"CID", "Product_revision", v.productRevision},
      {"CID", "Change_SN", flag(v.changeSerialNumber)},
      {"CID", "Product_SN", v.productSerial},
      {"CID", "Manufacturing_year", v.manufacturingYear},
      {"CID", "Manufacturing_month", v.manufacturingMonth},
      {"CSD", "CCD_FIELD", registerText},
      {"CSD", "CCD_SELECT_DATA", label},
      {"CSDCRC", "Ecc", v.ecc},
      {"CSDCRC", "wdelay", v.writeDelay},
      {"OTHER", "FLASH1", v.flash1Type},
      {"OTHER", "FLASH2", v.flash2Type},
      {"OTHER", "RWTest", flag(v.rwTestEnabled)},
      {"OTHER", "EraseFlash", flag(v.eraseFlashEnabled)},
      {"OTHER", "RWValue", std::to_string(v.rwTestPercent)},
  };
  std::string failure;
  if (!WriteProfileValues(configPath, writes, durability, &failure)) {
    if (refusal != nullptr) *refusal = failure + "\nThe settings were not saved.";
    return SaveSettingsResult::kWriteFailed;
  }
  return SaveSettingsResult::kSaved;
}

}  // namespace kx20

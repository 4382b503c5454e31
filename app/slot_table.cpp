#include "app/slot_table.h"

#include <cstdio>
#include <cstring>

#include "device/device_session.h"

namespace kx20 {

SlotRecord* SlotTable::Find(int slot) {
  if (slot < 1 || slot > kSlotCount) return nullptr;
  return &records_[static_cast<std::size_t>(slot - 1)];
}

const SlotRecord* SlotTable::Find(int slot) const {
  if (slot < 1 || slot > kSlotCount) return nullptr;
  return &records_[static_cast<std::size_t>(slot - 1)];
}

int SlotTable::SlotOfLetter(char letter) const {
  if (letter == 0) return 0;
  int found = 0;
  for (int slot = 1; slot <= kSlotCount; ++slot) {
    if (records_[static_cast<std::size_t>(slot - 1)].driveLetter == letter) found = slot;
  }
  return found;
}

int SlotTable::FirstAnsweringSlot() const {
  for (int slot = 1; slot <= kSlotCount; ++slot) {
    const SlotRecord& r = records_[static_cast<std::size_t>(slot - 1)];
    if (r.driveLetter != 0 && r.probeAnswered != 0) return slot;
  }
  return 0;
}

void SlotTable::Clear() { records_.fill(SlotRecord{}); }

std::string SlotRowText(int slot, const SlotRecord& record) {
  char text[32];
  if (record.probeOsFailure == 2) {
    std::snprintf(text, sizeof text, "%02d-%s", slot, "[device X]");
  } else if (record.driveLetter != 0) {
    std::snprintf(text, sizeof text, "%02d-%c:\\", slot, record.driveLetter);
  } else {
    std::snprintf(text, sizeof text, "%02d-", slot);
  }
  return text;
}

int SlotRowImage(const SlotRecord& record) {
  if (record.probeOsFailure == 2) return kImageQuestion;
  if (record.probeAnswered != 0) return kImageAnswered;
  if (record.present != 0) return kImageNoAnswer;
  return kImageEmpty;
}

int ParseInquirySlot(const std::uint8_t* inquiry) { return InquirySlotNumber(inquiry); }

SlotDiscovery::SlotDiscovery(PassThroughPort& port, SlotTable& table, DiscoveryFlags& flags,
                             ConsoleView& view)
    : port_(port), table_(table), flags_(flags), view_(view) {}

int SlotDiscovery::ScanDevices() {
  DeviceSession session(port_);
  table_.Clear();
  view_.ClearRows();

  // A: and B: are never examined; nor is any bit beyond Z:.
  const std::uint32_t drives = port_.ScanDrives() & ~0x3u & ((1u << 26) - 1);
  int found = 0;
  for (int bit = 0; bit < 26; ++bit) {
    if ((drives & (1u << bit)) == 0) continue;
    const char letter = static_cast<char>('A' + bit);
    bool answered = false;
    osFailureMarker_ = 0;

    // A disk that cannot be opened or does not answer leaves the buffer zero.
    std::uint8_t inquiry[kInquiryLength] = {};
    session.Inquiry(letter, inquiry);
    if (std::memcmp(inquiry + 8, "VYN", 3) != 0) continue;

    // A slot number outside 1..32 has no record: such a disk is ignored.
    const int slot = ParseInquirySlot(inquiry);
    SlotRecord* record = table_.Find(slot);
    if (record == nullptr) continue;

    answered = ProbeDevice(letter);
    for (int i = 24; i < 28; ++i) {
      if (inquiry[i] == ' ') inquiry[i] = '0';
    }
    record->driveLetter = letter;
    record->slotText[0] = static_cast<char>(inquiry[26]);
    record->slotText[1] = static_cast<char>(inquiry[27]);
    record->slotText[2] = 0;
    record->present = 1;
    record->probeAnswered = answered ? 1 : 0;
    record->probeOsFailure = osFailureMarker_;
    ++found;
  }

  if (flags_.autoRescan.load() == 1) flags_.rescanPending.store(1);

  for (int row = 0; row < kSlotRows; ++row) {
    char text[16];  // room for any int: "01" .. "10" in practice
    std::snprintf(text, sizeof text, "%02d", row + 1);
    view_.InsertRow(row, text, kImageNoAnswer);
  }
  for (int slot = 1; slot <= kSlotRows; ++slot) {  // slots above 10 have no row
    const SlotRecord& record = *table_.Find(slot);
    view_.SetRowText(slot - 1, SlotRowText(slot, record));
    view_.SetRowImage(slot - 1, SlotRowImage(record));
  }
  if (found > 0) view_.SetSelectionMark(0);
  return found;
}

bool SlotDiscovery::ProbeDevice(char letter) {
  DeviceSession session(port_);
  if (!session.Open(letter)) return false;
  std::uint16_t word = 0;
  const bool answered = session.ProbeControllerOnce(word);
  osFailureMarker_ = word;
  return answered;
}

void SlotDiscovery::PollRemoval() {
  // Slot 32 is not polled: it has no row and no worker.
  bool anyAnswers = false;
  for (int slot = 1; slot < kSlotCount; ++slot) {
    SlotRecord& record = *table_.Find(slot);
    if (record.probeAnswered == 0) continue;
    record.probeAnswered = ProbeDevice(record.driveLetter) ? 1 : 0;
    if (record.probeAnswered == 1) anyAnswers = true;
  }
  if (!anyAnswers) {
    flags_.rescanPending.store(1);
    flags_.removalWatch.store(0);
  }
}

}  // namespace kx20

// MapSense and the result rules over random request blocks: every outcome is
// a status of the set, a request that was not carried out never counts as
// good, and the rules only read the block.
#include <cstring>

#include "device/device_session.h"
#include "fuzz_support.h"

namespace {

bool Known(kx20::DeviceStatus s) { return std::strcmp(kx20::DeviceStatusName(s), "Dev?") != 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx20;
  fuzz::Input in(data, size);
  const bool sent = in.Byte() & 1;
  // The commands pass a failure code that is never DevOk.
  auto failureCode = static_cast<DeviceStatus>(in.Value<std::uint16_t>());
  if (failureCode == DevOk) failureCode = DevReadFailed;

  PassThroughRequest request;
  in.Bytes(&request, sizeof request);
  request.sptd.dataBuffer = nullptr;  // never followed by the rules
  BufferedPassThroughRequest buffered;
  in.Bytes(&buffered, sizeof buffered);

  PassThroughRequest requestCopy;
  std::memcpy(&requestCopy, &request, sizeof request);
  BufferedPassThroughRequest bufferedCopy;
  std::memcpy(&bufferedCopy, &buffered, sizeof buffered);

  const DeviceStatus sense = MapSense(request);
  FUZZ_CHECK(Known(sense));
  FUZZ_CHECK(sense == MapSenseBytes(request.sense));
  const bool allZero = (request.sense[2] & 0x0F) == 0 && request.sense[12] == 0 && request.sense[13] == 0;
  FUZZ_CHECK(allZero == (sense == DevNoSense));

  const DeviceStatus ready = ReadyRule(sent, buffered);
  const DeviceStatus check = CheckConditionRule(sent, request);
  std::uint16_t statusWord = 0x1234;
  const bool probe = ProbeRule(sent, request, statusWord);
  const DeviceStatus command = CommandCodeRule(sent, request, failureCode);
  FUZZ_CHECK(Known(ready) && Known(check));
  if (!sent) {
    // Not carried out: never good.
    FUZZ_CHECK(check != DevOk && command != DevOk && !probe);
    FUZZ_CHECK(statusWord == 2);
  }
  if (sent && request.sptd.scsiStatus == 0) {
    FUZZ_CHECK(check == DevOk && command == DevOk && probe);
  } else {
    // A non-good status is never reported as success.
    FUZZ_CHECK(check != DevOk && command != DevOk && !probe);
  }
  FUZZ_CHECK(std::memcmp(&request, &requestCopy, sizeof request) == 0);
  FUZZ_CHECK(std::memcmp(&buffered, &bufferedCopy, sizeof buffered) == 0);
  return 0;
}

// Message 4024's parameters: the packing lives in the Windows front end only.
#include "app/win32/window_status_poster.h"

#include <gtest/gtest.h>

namespace kx20 {
namespace {

TEST(WindowStatusPoster, PacksAndUnpacksMessage4024) {
  struct Case {
    WorkerStatus status;
    WPARAM wParam;
    LPARAM lParam;
  };
  const Case cases[] = {
      {{'E', 9, StatusRwTestProgress, 0xBEEF}, 0x4509, 0x000ABEEF},
      {{'Z', 0, StatusPass, 100}, 0x5A00, 0x00010064},
      {{'C', 3, StatusProcess, 4}, 0x4303, 0x00140004},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PackStatusWParam(c.status), c.wParam);
    EXPECT_EQ(PackStatusLParam(c.status), c.lParam);
    const WorkerStatus back = UnpackStatus(c.wParam, c.lParam);
    EXPECT_EQ(back.driveLetter, c.status.driveLetter);
    EXPECT_EQ(back.row, c.status.row);
    EXPECT_EQ(back.code, c.status.code);
    EXPECT_EQ(back.value, c.status.value);
  }
}

TEST(WindowStatusPoster, DropsPostsWithoutAWindow) {
  WindowStatusPoster poster;
  poster.Post(WorkerStatus::Make('E', 0, StatusPass, 100));  // no target: nothing happens
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, kWorkerStatusMessage, kWorkerStatusMessage, PM_REMOVE));
}

}  // namespace
}  // namespace kx20

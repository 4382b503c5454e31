#include "app/terminal/terminal_console.h"

#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "app/terminal/terminal_controller.h"
#include "app/terminal/terminal_screen.h"
#include "app/terminal/terminal_view.h"

namespace kx20::terminal {
namespace {

// --- Signals ---------------------------------------------------------------------
// The handlers only set a flag and write one byte to a pipe the input
// watcher polls, so a signal wakes the console thread.

int gSignalPipe[2] = {-1, -1};
volatile sig_atomic_t gResized = 0;
volatile sig_atomic_t gQuitSignal = 0;

void OnSignal(int signal) {
  const int saved = errno;
  if (signal == SIGWINCH) {
    gResized = 1;
  } else {
    gQuitSignal = 1;
  }
  const char byte = 1;
  if (gSignalPipe[1] >= 0) {
    [[maybe_unused]] const ssize_t n = write(gSignalPipe[1], &byte, 1);
  }
  errno = saved;
}

void InstallSignals() {
  if (pipe(gSignalPipe) == 0) {
    for (int fd : gSignalPipe) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGWINCH, SIGTERM, SIGHUP, SIGINT}) sigaction(s, &action, nullptr);
}

void DrainSignalPipe() {
  char buffer[64];
  while (gSignalPipe[0] >= 0 && read(gSignalPipe[0], buffer, sizeof buffer) > 0) {
  }
}

// --- Input watcher -------------------------------------------------------------------
// Sleeps in poll() on the terminal and the signal pipe while the console thread
// sleeps on the status queue, and wakes the queue when there is something to
// read. It polls again only when the console has read what was there (Arm),
// so it never spins on input that is waiting to be read.

class InputWatcher {
 public:
  explicit InputWatcher(StatusQueue& queue) : queue_(queue) {
    std::thread([this] { Run(); }).detach();  // lives until the process ends
  }

  void Arm() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      armed_ = true;
    }
    ready_.notify_one();
  }

  bool TerminalGone() const { return gone_.load(); }

 private:
  void Run() {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return armed_; });
        armed_ = false;
      }
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {gSignalPipe[0], POLLIN, 0}};
      const int n = poll(fds, gSignalPipe[0] >= 0 ? 2 : 1, -1);
      if (n > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        gone_.store(true);
        queue_.Wake();
        return;  // nothing more will come from this terminal
      }
      queue_.Wake();
    }
  }

  StatusQueue& queue_;
  std::mutex mutex_;
  std::condition_variable ready_;
  bool armed_ = false;
  std::atomic<bool> gone_{false};
};

// --- Drawing -------------------------------------------------------------------------

struct Look {
  short fg;
  short bg;
  attr_t attr;      // with colour
  attr_t monoAttr;  // without colour
};

Look LookOf(Style style) {
  switch (style) {
    case Style::kCaption: return {COLOR_WHITE, COLOR_BLUE, A_BOLD, A_REVERSE};
    case Style::kFrame: return {COLOR_CYAN, -1, A_NORMAL, A_NORMAL};
    case Style::kLabel: return {-1, -1, A_NORMAL, A_NORMAL};
    case Style::kField: return {COLOR_WHITE, COLOR_BLACK, A_UNDERLINE, A_UNDERLINE};
    case Style::kFieldFocus: return {COLOR_BLACK, COLOR_CYAN, A_BOLD, A_REVERSE};
    case Style::kFieldDisabled: return {COLOR_WHITE, -1, A_DIM, A_DIM};
    case Style::kButton: return {COLOR_WHITE, -1, A_BOLD, A_BOLD};
    case Style::kButtonFocus: return {COLOR_BLACK, COLOR_WHITE, A_BOLD, A_REVERSE};
    case Style::kButtonDisabled: return {COLOR_WHITE, -1, A_DIM, A_DIM};
    case Style::kRowText: return {-1, -1, A_NORMAL, A_NORMAL};
    case Style::kRowSelected: return {-1, -1, A_BOLD | A_UNDERLINE, A_BOLD | A_UNDERLINE};
    case Style::kRowSelectedFocus: return {COLOR_BLACK, COLOR_CYAN, A_BOLD, A_REVERSE};
    case Style::kImageChip: return {COLOR_CYAN, -1, A_BOLD, A_NORMAL};
    case Style::kImageCardOk: return {COLOR_BLACK, COLOR_GREEN, A_NORMAL, A_BOLD};
    case Style::kImageCardGrey: return {COLOR_WHITE, -1, A_DIM, A_DIM};
    case Style::kImageChipRed: return {COLOR_RED, -1, A_NORMAL, A_NORMAL};
    case Style::kImageFlames: return {COLOR_YELLOW, COLOR_RED, A_BOLD, A_BOLD};
    case Style::kImageWork: return {COLOR_BLUE, COLOR_WHITE, A_NORMAL, A_NORMAL};
    case Style::kImagePass: return {COLOR_GREEN, -1, A_BOLD, A_BOLD};
    case Style::kImageQuestion: return {COLOR_RED, COLOR_WHITE, A_BOLD, A_BOLD};
    case Style::kImageEmpty: return {COLOR_RED, -1, A_BOLD, A_DIM};
    case Style::kBarDone: return {COLOR_GREEN, -1, A_NORMAL, A_NORMAL};
    case Style::kBarTodo: return {COLOR_YELLOW, -1, A_NORMAL, A_NORMAL};
    case Style::kBarFailed: return {COLOR_RED, -1, A_BOLD, A_BOLD};
    case Style::kStatus: return {COLOR_BLACK, COLOR_WHITE, A_NORMAL, A_REVERSE};
    case Style::kLegend: return {COLOR_WHITE, COLOR_BLUE, A_NORMAL, A_NORMAL};
    case Style::kBox: return {COLOR_BLACK, COLOR_WHITE, A_NORMAL, A_NORMAL};
    case Style::kBoxTitle: return {COLOR_WHITE, COLOR_BLUE, A_BOLD, A_REVERSE};
    case Style::kMenuSelected: return {COLOR_WHITE, COLOR_BLUE, A_BOLD, A_REVERSE};
    case Style::kSearchHit: return {COLOR_BLACK, COLOR_YELLOW, A_NORMAL, A_REVERSE};
    case Style::kNormal: break;
  }
  return {-1, -1, A_NORMAL, A_NORMAL};
}

constexpr int kStyleCount = static_cast<int>(Style::kSearchHit) + 1;

class Screen {
 public:
  Screen() {
    initscr();
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    mousemask(BUTTON1_PRESSED | BUTTON1_RELEASED | BUTTON1_CLICKED | BUTTON1_DOUBLE_CLICKED,
              nullptr);
    colour_ = has_colors();
    if (colour_) {
      start_color();
      use_default_colors();
      for (int s = 0; s < kStyleCount; ++s) {
        const Look look = LookOf(static_cast<Style>(s));
        init_pair(static_cast<short>(s + 1), look.fg, look.bg);
      }
    }
  }
  ~Screen() { endwin(); }

  void Resize() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
      resizeterm(size.ws_row, size.ws_col);
    }
  }

  void Draw(TerminalController& controller) {
    const int width = COLS;
    const int height = LINES;
    controller.SetScreenSize(width, height);
    Canvas canvas(width, height);
    controller.Render(canvas);
    for (int y = 0; y < height; ++y) {
      move(y, 0);
      for (int x = 0; x < width; ++x) {
        // The bottom-right corner would scroll some terminals.
        if (y == height - 1 && x == width - 1) break;
        const Cell& cell = canvas.At(y, x);
        const Look look = LookOf(cell.style);
        const int s = static_cast<int>(cell.style);
        const chtype attr = colour_ ? (look.attr | COLOR_PAIR(s + 1)) : look.monoAttr;
        addch(static_cast<chtype>(static_cast<unsigned char>(cell.ch)) | attr);
      }
    }
    if (const auto cursor = controller.Cursor()) {
      curs_set(1);
      move(cursor->first, cursor->second);
    } else {
      curs_set(0);
    }
    refresh();
  }

 private:
  bool colour_ = false;
};

bool Translate(int ch, KeyEvent& event) {
  event = KeyEvent{};
  switch (ch) {
    case '\n':
    case '\r':
    case KEY_ENTER: event.key = kKeyEnter; return true;
    case 27: event.key = kKeyEscape; return true;
    case '\t': event.key = kKeyTab; return true;
    case KEY_BTAB: event.key = kKeyBackTab; return true;
    case KEY_UP: event.key = kKeyUp; return true;
    case KEY_DOWN: event.key = kKeyDown; return true;
    case KEY_LEFT: event.key = kKeyLeft; return true;
    case KEY_RIGHT: event.key = kKeyRight; return true;
    case KEY_HOME: event.key = kKeyHome; return true;
    case KEY_END: event.key = kKeyEnd; return true;
    case KEY_PPAGE: event.key = kKeyPageUp; return true;
    case KEY_NPAGE: event.key = kKeyPageDown; return true;
    case KEY_BACKSPACE:
    case 127:
    case 8: event.key = kKeyBackspace; return true;
    case KEY_DC: event.key = kKeyDelete; return true;
    case KEY_F(1): event.key = kKeyF1; return true;
    case KEY_F(2): event.key = kKeyF2; return true;
    case KEY_F(3): event.key = kKeyF3; return true;
    case KEY_F(4): event.key = kKeyF4; return true;
    case KEY_F(10): event.key = kKeyF10; return true;
    case KEY_MOUSE: {
      MEVENT m{};
      if (getmouse(&m) != OK) return false;
      event.key = kKeyMouse;
      event.y = m.y;
      event.x = m.x;
      if (m.bstate & BUTTON1_DOUBLE_CLICKED) event.mouse = MouseAction::kDoubleClick;
      else if (m.bstate & BUTTON1_CLICKED) event.mouse = MouseAction::kClick;
      else if (m.bstate & BUTTON1_PRESSED) event.mouse = MouseAction::kPress;
      else if (m.bstate & BUTTON1_RELEASED) event.mouse = MouseAction::kRelease;
      else return false;
      return true;
    }
    default:
      if (ch >= ' ' && ch < 0x7F) {
        event.key = ch;
        return true;
      }
      return false;
  }
}

}  // namespace

int RunTerminalStation(PassThroughPort& port, Clock& clock, const StationOptions& options,
                       const TerminalConsoleOptions& console) {
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
    std::fprintf(stderr,
                 "kx20-station: the console needs a terminal (use --batch for a run without one)\n");
    return 2;
  }
  InstallSignals();

  // These live until the process ends: workers may outlive the console.
  auto* view = new TerminalView();
  auto* shell = new TerminalShell();
  auto* station = new Station(port, clock, *view, *shell, options);
  if (console.moreView != nullptr) station->AddView(*console.moreView);
  auto* controller = new TerminalController(*station, *view, *shell, clock);
  controller->SetQuiet(console.quiet);
  StatusQueue& queue = station->Queue();
  auto* watcher = new InputWatcher(queue);

  auto* screen = new Screen();  // closed (endwin) before the last words below
  std::deque<WorkerStatus> held;  // taken while a message box was up

  // Reads every key that is waiting; true when one arrived.
  const auto readKeys = [&] {
    DrainSignalPipe();
    if (gResized) {
      gResized = 0;
      screen->Resize();
    }
    if (gQuitSignal || watcher->TerminalGone()) controller->RequestQuit();
    bool any = false;
    for (int ch = getch(); ch != ERR && !controller->QuitRequested(); ch = getch()) {
      KeyEvent event;
      if (ch == KEY_RESIZE) continue;  // drawn below at the new size
      if (Translate(ch, event)) controller->HandleKey(event);
      any = true;
    }
    return any;
  };

  // A message box: keys and drawing only; the timer and the workers'
  // messages wait until it is dismissed.
  controller->SetModalLoop([&] {
    screen->Draw(*controller);
    watcher->Arm();
    if (auto message = queue.WaitTake(1000)) held.push_back(*message);
    readKeys();
  });

  controller->Start();
  std::uint64_t nextTick = clock.MonotonicMs() + 1000;
  while (!controller->QuitRequested()) {
    readKeys();
    if (controller->QuitRequested()) break;
    while (!held.empty()) {
      controller->ApplyMessage(held.front());
      held.pop_front();
    }
    std::uint64_t now = clock.MonotonicMs();
    if (now >= nextTick) {
      controller->Tick();
      if (controller->TakeBell()) beep();  // the end of a run
      nextTick += 1000;
      if (nextTick <= now) nextTick = now + 1000;  // the loop fell behind
    }
    controller->DrainStatus();
    if (controller->QuitRequested()) break;
    screen->Draw(*controller);
    watcher->Arm();
    now = clock.MonotonicMs();
    const unsigned wait = nextTick > now ? static_cast<unsigned>(nextTick - now) : 0;
    if (wait > 0) {
      if (auto message = queue.WaitTake(wait)) controller->ApplyMessage(*message);
    }
  }

  // Closing the window: the station takes the run's locks (letting a serial
  // step or log record under way finish), records the disks it cuts off, and
  // the workers are left to the end of the process.
  delete screen;
  if (station->RunningWorkerCount() > 0) {
    std::fprintf(stderr,
                 "kx20-station: quitting during a run: recording the disks cut off (one second "
                 "each)...\n");
    std::fflush(stderr);
  }
  const int cutOff = station->Shutdown();
  // What the screen can no longer show: the disks cut off, and anything else
  // the operator has not seen yet.
  for (const std::string& notice : station->TakeNotices()) {
    std::fprintf(stderr, "kx20-station: %s\n", notice.c_str());
  }
  if (cutOff > 0) {
    std::fprintf(stderr, "kx20-station: quit during a run: %d disk(s) cut off and recorded as FAIL\n",
                 cutOff);
  }
  std::fflush(stderr);
  return 0;
}

}  // namespace kx20::terminal

// mirelo-meeting-helper: writes one JSON line to standard output whenever the set of
// processes that capture audio input changes, and exits when standard input ends.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "meeting-helper/process_monitor.h"
#include "meeting-helper/report_stream.h"
#include "meeting-helper/serial_queue.h"
#include "platform/audio/pulse_audio_service.h"

namespace {

constexpr std::chrono::seconds kPollInterval{1};

}  // namespace

int main() {
  using namespace mirelo;

  // A standard stream that was closed when the helper started must not be handed to the
  // sound library as its next descriptor, where reports would be written into a socket.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) {
        ::dup2(opened, fd);
        ::close(opened);
      }
    }
  }

  // Everything after start-up runs on this queue: listeners, the poll and every report.
  // The program never tears it down; it ends from the input reader with _exit.
  static SerialQueue queue("meeting-helper");
  StreamWriter output = standardOutputWriter();

  static std::unique_ptr<PulseAudioService> service =
      PulseAudioService::connect([](std::function<void()> task) { queue.post(std::move(task)); });
  if (!service) {
    emit({{"unsupported", true}}, output);
    queue.stop();
    return 0;
  }

  static ProcessMonitor monitor(*service, output);
  // Synchronously, so that no listener can report before the first report is written.
  queue.runSync([] { monitor.start(); });
  queue.startTimer(SerialQueue::Clock::now() + kPollInterval, kPollInterval, [] { monitor.report(); });

  // Started only now, so an application that closes standard input at once still gets
  // the first line. The exit does not wait for a report in progress.
  std::thread([] {
    drainUntilEnd(STDIN_FILENO);
    ::_exit(0);
  }).detach();

  for (;;) ::pause();
}

#pragma once
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace testsupport {

// While `call` runs, whoever opens the FIFO for reading is fed `text` and sees its end: a reader that
// blocks on a FIFO gets the text instead of hanging the test, so a reader that should have refused
// the FIFO is caught by what it returns.
template <typename Call>
auto WithFedFifo(const std::string& fifo, const std::string& text, Call call) -> decltype(call()) {
  std::atomic<bool> done{false};
  std::thread feeder([&]() {
    // The reader may close its end while this writes: that is an error here, not a signal.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    while (!done.load()) {
      int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) {
        std::this_thread::yield();
        continue;
      }
      ssize_t ignored = write(fd, text.data(), text.size());
      (void)ignored;
      close(fd);
    }
  });
  auto result = call();
  done = true;
  feeder.join();
  return result;
}

}  // namespace testsupport

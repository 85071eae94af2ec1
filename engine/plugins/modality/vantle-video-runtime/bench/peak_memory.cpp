#include "peak_memory.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/text.h"

namespace vantle::bench {

namespace {

// A line of /proc/self/status, e.g. "VmHWM:", as a number (kB for the
// memory fields); -1 when it cannot be read. No heap use.
std::int64_t status_field(const char* field) {
  char text[8192];
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  std::size_t length = 0;
  for (;;) {
    const ssize_t got = ::read(fd, text + length, sizeof text - 1 - length);
    if (got <= 0) {
      break;
    }
    length += static_cast<std::size_t>(got);
  }
  ::close(fd);
  text[length] = '\0';
  const char* line = std::strstr(text, field);
  if (line == nullptr) {
    return -1;
  }
  return std::strtoll(line + std::strlen(field), nullptr, 10);
}

bool reset_peak_rss() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool written = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return written;
}

// What the child writes into the pipe: plain bytes.
struct ChildMessage {
  int ok = 0;
  std::int64_t growth = 0;
  double seconds = 0;
  ChildValues values{};
  char error[512] = {};
};

[[noreturn]] void child_main(int out, const std::function<Result<ChildValues>()>& work) {
  ChildMessage message;
  auto report_error = [&](const std::string& text) {
    const std::size_t length = std::min(text.size(), sizeof message.error - 1);
    std::memcpy(message.error, text.data(), length);
  };
  malloc_trim(0);
  if (!reset_peak_rss()) {
    report_error("cannot reset the peak RSS through /proc/self/clear_refs");
  } else {
    const std::int64_t before = status_field("VmHWM:");
    const auto started = std::chrono::steady_clock::now();
    Result<ChildValues> values = work();
    message.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::int64_t after = status_field("VmHWM:");
    if (!values) {
      report_error(values.error());
    } else if (before < 0 || after < 0) {
      report_error("cannot read VmHWM from /proc/self/status");
    } else {
      message.ok = 1;
      message.growth = (after - before) * 1024;
      message.values = *values;
    }
  }
  const auto* bytes = reinterpret_cast<const char*>(&message);
  std::size_t sent = 0;
  while (sent < sizeof message) {
    const ssize_t wrote = ::write(out, bytes + sent, sizeof message - sent);
    if (wrote <= 0) {
      break;
    }
    sent += static_cast<std::size_t>(wrote);
  }
  // No exit handlers: they belong to the parent.
  ::_exit(message.ok ? 0 : 1);
}

}  // namespace

int process_thread_count() {
  return static_cast<int>(status_field("Threads:"));
}

std::int64_t trimmed_resident_bytes() {
  malloc_trim(0);
  const std::int64_t kilobytes = status_field("VmRSS:");
  return kilobytes < 0 ? -1 : kilobytes * 1024;
}

std::int64_t heap_bytes_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
}

Result<ChildPeak> measure_peak_in_child(const std::function<Result<ChildValues>()>& work) {
  if (const int threads = process_thread_count(); threads != 1) {
    return fail(str_cat("the process runs ", threads, " threads; forking it is not safe"));
  }
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) {
    return fail("pipe failed");
  }
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    return fail("fork failed");
  }
  if (child == 0) {
    ::close(pipe_ends[0]);
    child_main(pipe_ends[1], work);
  }
  ::close(pipe_ends[1]);
  ChildMessage message;
  auto* bytes = reinterpret_cast<char*>(&message);
  std::size_t received = 0;
  while (received < sizeof message) {
    const ssize_t got = ::read(pipe_ends[0], bytes + received, sizeof message - received);
    if (got <= 0) {
      break;
    }
    received += static_cast<std::size_t>(got);
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (received != sizeof message) {
    return fail(str_cat("the measuring child ended without a report (wait status ", status, ")"));
  }
  if (!message.ok) {
    return fail(std::string(message.error));
  }
  return ChildPeak{message.growth, message.seconds, message.values};
}

}  // namespace vantle::bench

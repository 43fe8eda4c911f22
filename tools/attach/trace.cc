#include "attach/trace.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "frames/base64.h"
#include "frames/json_reader.h"
#include "frames/output_frame.h"
#include "text/utf8.h"

namespace qlp::attach {

Result<std::unique_ptr<Trace>> Trace::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd == -1) return Error::os(errno);
  return std::unique_ptr<Trace>(new Trace(fd));
}

Trace::~Trace() { close(fd_); }

std::string Trace::now() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc {};
  gmtime_r(&now.tv_sec, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long>(now.tv_nsec / 1000));
  return text;
}

std::string Trace::format(Direction direction, std::string_view frame_line,
                          const std::string& time) {
  std::string record = "{\"time\":\"" + time + "\",\"dir\":\"";
  record += direction == Direction::kIn ? "in" : "out";
  record += "\",";
  if (is_valid_utf8(frame_line) && parse_json(frame_line)) {
    record += "\"frame\":";
    record += frame_line;
  } else if (is_valid_utf8(frame_line)) {
    record += "\"raw\":";
    append_json_string(frame_line, record);
  } else {
    record += "\"rawBase64\":\"" + base64_encode(frame_line) + "\"";
  }
  record += '}';
  return record;
}

void Trace::record(Direction direction, std::string_view frame_line) {
  std::string line = format(direction, frame_line, now());
  line += '\n';
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace qlp::attach

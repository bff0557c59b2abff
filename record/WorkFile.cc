#include "record/WorkFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace record {

namespace {

void Le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Le32(uint8_t* p, uint32_t v) {
  Le16(p, static_cast<uint16_t>(v));
  Le16(p + 2, static_cast<uint16_t>(v >> 16));
}

// Writes at the file position until everything is written or the system refuses more; returns
// the bytes written, with errno set when that is fewer than asked.
size_t WriteAll(int fd, const uint8_t* p, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      break;
    }
    done += static_cast<size_t>(w);
  }
  return done;
}

bool PwriteAll(int fd, const uint8_t* p, size_t n, off_t at) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::pwrite(fd, p + done, n - done, at + static_cast<off_t>(done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

std::string FileError::Describe() const {
  return operation + " " + path + ": " + cause.message();
}

WorkFile::~WorkFile() {
  FileError ignored;
  Finish(ignored);
}

bool WorkFile::Fail(const char* operation, int err, FileError& error) const {
  error = {operation, path_, std::error_code(err, std::generic_category())};
  return false;
}

bool WorkFile::Create(const std::string& path, const platform::WaveFormat& format,
                      FileError& error) {
  FileError ignored;
  Finish(ignored);
  path_ = path;
  data_bytes_ = 0;
  block_align_ = format.block_align ? format.block_align : 1;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) return Fail("create", errno, error);

  std::array<uint8_t, 8> riff{'R', 'I', 'F', 'F'};
  Le32(riff.data() + 4, kWavHeaderBytes - 8);
  const uint8_t wave[4] = {'W', 'A', 'V', 'E'};
  std::array<uint8_t, 8> fmt{'f', 'm', 't', ' '};
  Le32(fmt.data() + 4, 16);
  std::array<uint8_t, 16> record{};
  Le16(record.data(), format.format_tag);
  Le16(record.data() + 2, format.channels);
  Le32(record.data() + 4, format.samples_per_sec);
  Le32(record.data() + 8, format.avg_bytes_per_sec);
  Le16(record.data() + 12, format.block_align);
  Le16(record.data() + 14, format.bits_per_sample);
  std::array<uint8_t, 8> data{'d', 'a', 't', 'a'};
  Le32(data.data() + 4, 0);

  const std::pair<const uint8_t*, size_t> parts[] = {{riff.data(), riff.size()},
                                                     {wave, sizeof wave},
                                                     {fmt.data(), fmt.size()},
                                                     {record.data(), record.size()},
                                                     {data.data(), data.size()}};
  for (const auto& [p, n] : parts) {
    if (WriteAll(fd_, p, n) != n) {
      const int err = errno;
      ::close(fd_);
      fd_ = -1;
      return Fail("write", err, error);
    }
  }
  return true;
}

bool WorkFile::WriteSizes(FileError& error) {
  // The data size is what the file holds behind the header, so the RIFF size is 36 more.
  uint8_t size[4];
  Le32(size, static_cast<uint32_t>(data_bytes_ + kWavHeaderBytes - 8));
  if (!PwriteAll(fd_, size, 4, 4)) return Fail("write", errno, error);
  Le32(size, static_cast<uint32_t>(data_bytes_));
  if (!PwriteAll(fd_, size, 4, 40)) return Fail("write", errno, error);
  return true;
}

bool WorkFile::Append(const uint8_t* bytes, size_t length, FileError& error) {
  if (fd_ < 0) return Fail("write", EBADF, error);
  const size_t written = WriteAll(fd_, bytes, length);
  if (written == length) {
    data_bytes_ += length;
    return WriteSizes(error);
  }
  const int err = errno;
  // Keep the data to whole frames; a torn frame would shift every sample after it. Counted
  // over all the data, since an earlier append may have ended inside a frame.
  data_bytes_ = (data_bytes_ + written) / block_align_ * block_align_;
  const auto end = static_cast<off_t>(kWavHeaderBytes + data_bytes_);
  if (::ftruncate(fd_, end) == 0) ::lseek(fd_, end, SEEK_SET);
  FileError ignored;
  WriteSizes(ignored);
  return Fail("write", err, error);
}

bool WorkFile::Finish(FileError& error) {
  if (fd_ < 0) return true;
  bool ok = WriteSizes(error);
  if (::fsync(fd_) != 0 && ok) ok = Fail("flush", errno, error);
  if (::close(fd_) != 0 && ok) ok = Fail("close", errno, error);
  fd_ = -1;
  return ok;
}

}  // namespace record

// Follows the pages of an Ogg Vorbis file in order, fed its bytes piece by piece, and finds where
// the part that libvorbisfile can be given safely ends.
//
// A chained file is a row of links, each beginning with the first pages (BOS) of its streams and
// the three Vorbis header packets. libvorbisfile finds the links by bisection when it opens a
// file and reads each link's headers there; a link whose headers are damaged or cut off makes
// the whole open fail (and libvorbisfile then loses memory it allocated), and a page of a stream
// that does not belong to the link it lies in (pages out of order, or of a stream of an earlier
// link) misleads its bisection. The check stops at the first such place: the links before it,
// and the part of the link before a stray page, are sound and can be played.
//
// The first link's own headers are left to libvorbisfile, which refuses a file whose first link
// is damaged cleanly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace media {

class OggLinkCheck {
 public:
  // Why the sound part ends where it does.
  enum class Stop {
    kNone,          // the whole file is sound
    kBadHeaders,    // a later link's Vorbis headers are damaged, cut off or missing
    kStrayPage,     // a page of no stream of the link it lies in
    kReusedSerial,  // a link begins a stream whose serial number an earlier stream had
  };

  OggLinkCheck();
  ~OggLinkCheck();
  OggLinkCheck(const OggLinkCheck&) = delete;
  OggLinkCheck& operator=(const OggLinkCheck&) = delete;

  // Takes the next bytes of the file; false once no more bytes are needed (the end of the
  // sound part is known, or the first link is left to libvorbisfile).
  bool Feed(const uint8_t* bytes, size_t count);
  // After the last bytes (or once Feed returned false): the size of the sound part, or -1 when
  // libvorbisfile may have the whole file (all of it is sound, or its first link is damaged,
  // which libvorbisfile refuses by itself).
  int64_t Limit();
  Stop StopReason() const { return stop_; }
  int Links() const { return links_; }

 private:
  struct Codec;

  void Page(int64_t offset, const void* page);  // an ogg_page at that offset of the file
  void BeginLink(int64_t offset);
  void ReadHeaderPackets();
  bool HeadersDone() const { return headers_ == 3; }
  void Cut(int64_t offset, Stop why);

  std::unique_ptr<Codec> codec_;
  int64_t consumed_ = 0;  // bytes the page reader has passed
  int64_t end_ = -1;      // the end of the sound part, once known
  bool gave_up_ = false;  // the first link is damaged: libvorbisfile judges the file
  Stop stop_ = Stop::kNone;
  int links_ = 0;
  int64_t link_start_ = 0;
  bool link_has_data_ = false;  // a page other than a BOS page was seen in this link
  std::vector<int32_t> link_serials_;
  std::vector<int32_t> earlier_serials_;
  int64_t vorbis_serial_ = -1;  // the link's Vorbis stream, -1 while none is known
  int headers_ = 0;             // Vorbis header packets of the link read so far
};

}  // namespace media

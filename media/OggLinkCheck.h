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
// Pages are looked for at every offset, also inside other pages: libvorbisfile reads from the
// middle of pages when it bisects and seeks, and would find a page hidden there. A setup header
// that libvorbis accepts but would crash decoding with (a codebook of zero dimensions, or one it
// cannot set its decoder up with) counts as damaged. A page begun in the bytes between pages and cut off by the end of the file hides the
// pages behind it from libogg. When the place lies in the first link before its headers are
// complete, nothing of the file can be given to libvorbisfile.
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
    kBadHeaders,    // a link's Vorbis headers are damaged, cut off, missing or unsafe
    kStrayPage,     // a page of no stream of the link it lies in
    kReusedSerial,  // a link begins a stream whose serial number an earlier stream had
    kHiddenPage,    // a page inside another page
    kCutOffPage,    // a page outside the others that the end of the file cuts off
  };

  OggLinkCheck();
  ~OggLinkCheck();
  OggLinkCheck(const OggLinkCheck&) = delete;
  OggLinkCheck& operator=(const OggLinkCheck&) = delete;

  // Takes the next bytes of the file; false once no more bytes are needed (the end of the sound
  // part is known).
  bool Feed(const uint8_t* bytes, size_t count);
  // After the last bytes (or once Feed returned false): the size of the sound part, or -1 when
  // libvorbisfile may have the whole file (including a file with no Ogg page at all, which it
  // refuses by itself).
  int64_t Limit();
  Stop StopReason() const { return stop_; }
  // Whether there is no sound part at all: the file must be refused.
  bool Unplayable() const { return unplayable_; }
  int Links() const { return links_; }

 private:
  struct Codec;

  static constexpr size_t kNeedMore = SIZE_MAX;

  bool Finished() const { return end_ >= 0; }
  // Finds the pages in the bytes held; at the end of the file a page cut off is none.
  void Scan(bool at_end);
  // The length of the page at that position of the bytes held: 0 when none starts there,
  // kNeedMore when more bytes are needed to tell.
  size_t PageAt(size_t at) const;
  void Page(int64_t offset, const void* page);  // an ogg_page at that offset of the file
  void BeginLink(int64_t offset);
  void ReadHeaderPackets();
  bool HeadersDone() const { return headers_ == 3; }
  void Cut(int64_t offset, Stop why);

  std::unique_ptr<Codec> codec_;
  std::vector<uint8_t> pending_;  // the bytes not yet searched through, from pending_start_
  int64_t pending_start_ = 0;
  int64_t page_start_ = 0;  // the last page found (not hidden in another)
  int64_t page_end_ = 0;
  int64_t end_ = -1;  // the end of the sound part, once known
  bool unplayable_ = false;
  Stop stop_ = Stop::kNone;
  int links_ = 0;
  int64_t link_start_ = 0;
  bool link_has_data_ = false;  // a page other than a BOS page was seen in this link
  std::vector<int32_t> link_serials_;
  std::vector<int32_t> earlier_serials_;
  int64_t vorbis_serial_ = -1;  // the link's Vorbis stream, -1 while none is known
  int headers_ = 0;             // Vorbis header packets of the link read so far
  int64_t headers_end_ = 0;     // the end of the page that completed them
};

}  // namespace media

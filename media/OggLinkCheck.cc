#include "media/OggLinkCheck.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace media {

namespace {

bool Contains(const std::vector<int32_t>& list, int32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// Bits needed for a value (0 for 0), as the Vorbis setup header counts them.
int Ilog(int64_t v) {
  int bits = 0;
  for (; v > 0; v >>= 1) ++bits;
  return bits;
}

// The greatest v with v^dim <= entries (the value count of a lookup type 1 codebook).
int64_t Lookup1Values(int64_t entries, int64_t dim) {
  const auto fits = [&](int64_t v) {
    int64_t acc = 1;
    for (int64_t i = 0; i < dim; ++i) {
      if (acc > entries / v) return false;
      acc *= v;
    }
    return acc <= entries;
  };
  if (entries < 1) return 0;
  auto v = static_cast<int64_t>(std::floor(std::pow(static_cast<double>(entries), 1.0 / dim)));
  v = std::max<int64_t>(v, 1);
  while (v > 1 && !fits(v)) --v;
  while (fits(v + 1)) ++v;
  return v;
}

// Whether a setup header that libvorbis accepted holds a codebook of zero dimensions. Decoding
// with one divides by zero or never ends (in the residue and floor decoders of libvorbis 1.3.7),
// and no encoder writes one. The codebooks come first in the header; each is followed to the
// next as libvorbis reads it. False also when the header cannot be followed that far.
bool HasEmptyCodebook(ogg_packet* setup) {
  oggpack_buffer bits;
  oggpack_readinit(&bits, setup->packet, static_cast<int>(setup->bytes));
  for (int i = 0; i < 7; ++i) oggpack_read(&bits, 8);  // packet type 5, "vorbis"
  const long books = oggpack_read(&bits, 8) + 1;
  const auto left = [&] { return (setup->bytes - oggpack_bytes(&bits)) * 8; };
  for (long book = 0; book < books; ++book) {
    if (oggpack_read(&bits, 24) != 0x564342) return false;
    const long dim = oggpack_read(&bits, 16);
    const long entries = oggpack_read(&bits, 24);
    if (dim == 0) return true;
    if (dim < 0 || entries < 0) return false;
    const long ordered = oggpack_read(&bits, 1);
    if (ordered == 0) {
      const long sparse = oggpack_read(&bits, 1);
      for (long e = 0; e < entries; ++e) {
        if (sparse == 1 && oggpack_read(&bits, 1) != 1) continue;
        if (oggpack_read(&bits, 5) < 0) return false;
      }
    } else if (ordered == 1) {
      // Runs of entries of one code length each, the length one more for every run; a run may
      // be empty, and libvorbis refuses lengths beyond 32.
      long length = oggpack_read(&bits, 5) + 1;
      if (length == 0) return false;
      for (long e = 0; e < entries; ++length) {
        const long run = oggpack_read(&bits, Ilog(entries - e));
        if (run < 0 || run > entries - e || length > 32) return false;
        e += run;
      }
    } else {
      return false;
    }
    const long lookup = oggpack_read(&bits, 4);
    if (lookup == 1 || lookup == 2) {
      oggpack_read(&bits, 32);  // minimum value
      oggpack_read(&bits, 32);  // delta value
      const long value_bits = oggpack_read(&bits, 4) + 1;
      if (oggpack_read(&bits, 1) < 0) return false;  // sequence flag
      const int64_t values = lookup == 1 ? Lookup1Values(entries, dim) : int64_t{entries} * dim;
      int64_t skip = values * value_bits;
      if (skip > left()) return false;
      for (; skip > 0; skip -= std::min<int64_t>(skip, 1 << 20)) {
        oggpack_adv(&bits, static_cast<int>(std::min<int64_t>(skip, 1 << 20)));
      }
    } else if (lookup != 0) {
      return false;
    }
  }
  return false;
}

// Whether libvorbis can set its decoder up with the headers (it refuses, for one, codebooks
// whose code lengths do not make a whole code). It must be asked before playback: a decoder
// that failed to start keeps the codebooks it had set up by then, all zeros from the failing
// one on, and the next start with the same headers decodes with those (and divides by zero).
bool DecoderStarts(vorbis_info* info) {
  vorbis_dsp_state dsp;
  if (vorbis_synthesis_init(&dsp, info) != 0) return false;  // it has cleared dsp itself
  vorbis_dsp_clear(&dsp);
  return true;
}

}  // namespace

// One stream's packet assembly and the Vorbis header parser, as libvorbisfile uses them, so that
// both see the same packets.
struct OggLinkCheck::Codec {
  Codec() {
    ogg_stream_init(&stream, 0);
    vorbis_info_init(&info);
    vorbis_comment_init(&comment);
  }
  ~Codec() {
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    ogg_stream_clear(&stream);
  }
  void ResetHeaders() {
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    vorbis_info_init(&info);
    vorbis_comment_init(&comment);
  }

  ogg_stream_state stream;
  vorbis_info info;
  vorbis_comment comment;
};

OggLinkCheck::OggLinkCheck() : codec_(std::make_unique<Codec>()) {}
OggLinkCheck::~OggLinkCheck() = default;

bool OggLinkCheck::Feed(const uint8_t* bytes, size_t count) {
  if (Finished()) return false;
  pending_.insert(pending_.end(), bytes, bytes + count);
  Scan(false);
  return !Finished();
}

void OggLinkCheck::Scan(bool at_end) {
  // Every offset where a whole page with a right checksum starts is a page, wherever it lies:
  // libogg reading on from a page finds the next one behind it, but libvorbisfile also reads
  // from the middle of pages when it bisects and seeks, and finds a page hidden inside another
  // one there. Such a page (a copy of a page inside the body of another, or a file written over
  // with another) makes the two see different files, so it ends the sound part.
  size_t at = 0;
  while (!Finished()) {
    const auto* from = pending_.data() + at;
    const auto* found = static_cast<const uint8_t*>(
        pending_.size() > at ? std::memchr(from, 'O', pending_.size() - at) : nullptr);
    if (!found) {
      at = pending_.size();
      break;
    }
    at = static_cast<size_t>(found - pending_.data());
    const int64_t offset = pending_start_ + static_cast<int64_t>(at);
    const size_t page = PageAt(at);
    if (page == kNeedMore) {
      if (!at_end) break;
      // A capture pattern outside the pages whose page would run past the end of the file:
      // libogg, reading on from the page before it, waits for the rest of that page and so finds
      // none of the pages behind it. The sound part ends there. Fewer than four bytes are no
      // capture pattern, and inside a page the bytes are that page's own.
      if (pending_.size() - at >= 4 && offset >= page_end_) {
        Cut(offset, Stop::kCutOffPage);
        break;
      }
      ++at;
      continue;
    }
    if (page == 0) {
      ++at;
      continue;
    }
    if (offset < page_end_) {
      Cut(page_start_, Stop::kHiddenPage);
      break;
    }
    ogg_page og;
    og.header = pending_.data() + at;
    og.header_len = 27 + pending_[at + 26];
    og.body = og.header + og.header_len;
    og.body_len = static_cast<long>(page) - og.header_len;
    page_start_ = offset;
    page_end_ = offset + static_cast<int64_t>(page);
    Page(offset, &og);
    at += 4;  // pages hidden in this one are looked for too
  }
  // What lies before the search position is done with.
  const size_t drop = std::min(at, pending_.size());
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(drop));
  pending_start_ += static_cast<int64_t>(drop);
}

size_t OggLinkCheck::PageAt(size_t at) const {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  const size_t have = pending_.size() - at;
  const uint8_t* p = pending_.data() + at;
  if (have < 4) return kNeedMore;
  if (std::memcmp(p, "OggS", 4) != 0) return 0;
  if (have < 27) return kNeedMore;
  const size_t segments = p[26];
  if (have < 27 + segments) return kNeedMore;
  size_t length = 27 + segments;
  for (size_t i = 0; i < segments; ++i) length += p[27 + i];
  if (have < length) return kNeedMore;
  // The checksum, computed with its own four bytes as zeros, as libogg checks it.
  uint32_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = (i >= 22 && i < 26) ? 0 : p[i];
    crc = (crc << 8) ^ table[(crc >> 24) ^ byte];
  }
  const uint32_t stored = p[22] | p[23] << 8 | p[24] << 16 | static_cast<uint32_t>(p[25]) << 24;
  return crc == stored ? length : 0;
}

int64_t OggLinkCheck::Limit() {
  if (!Finished()) Scan(true);
  // The last link must not end before its headers are complete either.
  if (!Finished() && links_ > 0 && !HeadersDone()) Cut(link_start_, Stop::kBadHeaders);
  return end_;
}

void OggLinkCheck::BeginLink(int64_t offset) {
  ++links_;
  link_start_ = offset;
  link_has_data_ = false;
  earlier_serials_.insert(earlier_serials_.end(), link_serials_.begin(), link_serials_.end());
  link_serials_.clear();
  vorbis_serial_ = -1;
  headers_ = 0;
  codec_->ResetHeaders();
}

void OggLinkCheck::Cut(int64_t offset, Stop why) {
  stop_ = why;
  // A link cut off before the end of the page that completes its headers would make
  // libvorbisfile fail on it: it goes whole. Nothing is left when that is the first link.
  const bool keeps_headers = HeadersDone() && offset >= headers_end_;
  end_ = keeps_headers ? offset : link_start_;
  if (!keeps_headers && links_ <= 1) {
    unplayable_ = true;
    end_ = 0;
  }
}

void OggLinkCheck::ReadHeaderPackets() {
  ogg_packet packet;
  while (!HeadersDone()) {
    const int got = ogg_stream_packetout(&codec_->stream, &packet);
    if (got == 0) return;  // the rest is on later pages
    // A hole (a page missing) or a packet the parser refuses: the link cannot be decoded.
    if (got < 0 || vorbis_synthesis_headerin(&codec_->info, &codec_->comment, &packet) != 0) {
      Cut(link_start_, Stop::kBadHeaders);
      return;
    }
    ++headers_;
    if (HeadersDone()) headers_end_ = page_end_;
    // A setup header that libvorbis accepts but cannot decode with: the link goes whole.
    if (HeadersDone() && (HasEmptyCodebook(&packet) || !DecoderStarts(&codec_->info))) {
      headers_ = 2;  // the setup header does not count
      Cut(link_start_, Stop::kBadHeaders);
    }
  }
}

void OggLinkCheck::Page(int64_t offset, const void* page_data) {
  auto* page = static_cast<ogg_page*>(const_cast<void*>(page_data));
  const int32_t serial = ogg_page_serialno(page);
  if (ogg_page_bos(page)) {
    // The first pages of the streams of a link come together at its start; a first page after
    // other pages begins the next link, which the one before must not end without its headers.
    if (links_ == 0 || link_has_data_) {
      if (links_ > 0 && !HeadersDone()) return Cut(link_start_, Stop::kBadHeaders);
      BeginLink(offset);
    }
    // Two first pages of one serial in a link make libvorbisfile refuse the link's headers; a
    // serial an earlier link had would make it take this link's pages for that link's.
    if (Contains(link_serials_, serial)) return Cut(link_start_, Stop::kBadHeaders);
    if (Contains(earlier_serials_, serial)) return Cut(link_start_, Stop::kReusedSerial);
    link_serials_.push_back(serial);
    if (vorbis_serial_ >= 0) return;
    // The link's Vorbis stream is its first stream whose first packet is a Vorbis
    // identification header.
    ogg_stream_reset_serialno(&codec_->stream, serial);
    ogg_stream_pagein(&codec_->stream, page);
    ogg_packet packet;
    if (ogg_stream_packetout(&codec_->stream, &packet) <= 0 ||
        !vorbis_synthesis_idheader(&packet)) {
      return;
    }
    vorbis_serial_ = serial;
    if (vorbis_synthesis_headerin(&codec_->info, &codec_->comment, &packet) != 0) {
      return Cut(link_start_, Stop::kBadHeaders);
    }
    headers_ = 1;
    return ReadHeaderPackets();
  }
  if (links_ == 0) return;  // before the first link: libvorbisfile refuses such a file itself
  link_has_data_ = true;
  if (!Contains(link_serials_, serial)) return Cut(offset, Stop::kStrayPage);
  if (serial != vorbis_serial_ || HeadersDone()) return;
  ogg_stream_pagein(&codec_->stream, page);
  ReadHeaderPackets();
}

}  // namespace media

#include "media/OggLinkCheck.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <cstring>

namespace media {

namespace {

bool Contains(const std::vector<int32_t>& list, int32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

// The page reader, one stream's packet assembly and the Vorbis header parser, as libvorbisfile
// uses them, so that both see the same pages and packets.
struct OggLinkCheck::Codec {
  Codec() {
    ogg_sync_init(&sync);
    ogg_stream_init(&stream, 0);
    vorbis_info_init(&info);
    vorbis_comment_init(&comment);
  }
  ~Codec() {
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
  }
  void ResetHeaders() {
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    vorbis_info_init(&info);
    vorbis_comment_init(&comment);
  }

  ogg_sync_state sync;
  ogg_stream_state stream;
  vorbis_info info;
  vorbis_comment comment;
};

OggLinkCheck::OggLinkCheck() : codec_(std::make_unique<Codec>()) {}
OggLinkCheck::~OggLinkCheck() = default;

bool OggLinkCheck::Feed(const uint8_t* bytes, size_t count) {
  while (end_ < 0 && !gave_up_ && count > 0) {
    const size_t take = std::min<size_t>(count, 65536);
    char* into = ogg_sync_buffer(&codec_->sync, static_cast<long>(take));
    if (!into) return false;
    std::memcpy(into, bytes, take);
    ogg_sync_wrote(&codec_->sync, static_cast<long>(take));
    bytes += take;
    count -= take;
    ogg_page page;
    while (end_ < 0 && !gave_up_) {
      const long step = ogg_sync_pageseek(&codec_->sync, &page);
      if (step == 0) break;  // more bytes needed
      if (step > 0) Page(consumed_, &page);
      consumed_ += step > 0 ? step : -step;  // a negative step is bytes skipped (no page there)
    }
  }
  return end_ < 0 && !gave_up_;
}

int64_t OggLinkCheck::Limit() {
  // The last link must not end before its headers are complete either.
  if (end_ < 0 && !gave_up_ && links_ > 0 && !HeadersDone()) Cut(link_start_, Stop::kBadHeaders);
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
  // Inside the first link before its headers are read the file is libvorbisfile's to judge: it
  // refuses a file whose first link is damaged without harm.
  if (links_ <= 1 && !HeadersDone()) {
    gave_up_ = true;
    return;
  }
  // A link cut off before its headers are complete would make libvorbisfile fail on it: it goes
  // whole.
  end_ = HeadersDone() ? offset : link_start_;
  stop_ = why;
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

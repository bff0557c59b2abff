#include "platform/mm_result.h"

namespace platform {

std::string MMErrorText(MMResult result) {
  switch (result) {
    case MMResult::kNoError:
      return "エラーはありません。";
    case MMResult::kError:
      return "原因不明のエラーが発生しました。";
    case MMResult::kBadDeviceId:
      return "指定されたデバイス番号は範囲外です。";
    case MMResult::kNotEnabled:
      return "ドライバを有効にできませんでした。";
    case MMResult::kAllocated:
      return "指定されたデバイスは既に使用中です。";
    case MMResult::kInvalidHandle:
      return "デバイスが開かれていません。";
    case MMResult::kNoDriver:
      return "デバイスドライバがありません。";
    case MMResult::kNoMem:
      return "メモリを確保できませんでした。";
    case MMResult::kNotSupported:
      return "この機能はサポートされていません。";
    case MMResult::kInvalidFlag:
      return "無効なフラグが指定されました。";
    case MMResult::kInvalidParam:
      return "無効なパラメータが指定されました。";
    case MMResult::kHandleBusy:
      return "デバイスは別のスレッドで使用中です。";
    case MMResult::kBadFormat:
      return "サポートされていないウェーブフォーマットです。";
    case MMResult::kStillPlaying:
      return "まだ再生中のバッファがあります。";
    case MMResult::kUnprepared:
      return "バッファが準備されていません。";
    case MMResult::kSync:
      return "デバイスは同期デバイスです。";
    case MMResult::kDeviceLost:
      return "サウンドデバイスが応答しなくなりました。";
  }
  return "不明なエラーコードです (" + std::to_string(static_cast<uint32_t>(result)) + ")。";
}

}  // namespace platform

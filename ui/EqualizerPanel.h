// The equalizer window: a borderless, skinned panel with the master volume, one gain slider per
// band, the on/off switch and the reset button. It owns the equalizer engine, turns slider
// positions into band designs, keeps the band gains in a store between runs, and offers the
// switch and the engine to the audio output as an equalizer hook.
//
// Threads: everything here runs on the main (GUI) thread, except the hook, which the output asks
// from the reader thread (the switch is atomic; the engine locks each band).
#pragma once

#include <QImage>
#include <QPixmap>
#include <QSlider>
#include <QString>
#include <QWidget>
#include <array>
#include <set>

#include "dsp/BandFrequencies.h"
#include "dsp/DataManager.h"
#include "media/EqualizerEngineHook.h"

class QLabel;
class QPushButton;

namespace ui {

class TSpeedButton;

// Where the window keeps the band gains between runs: the gain slider position (0..48, 24 is
// 0 dB) of each band 0..14. The program keeps them in the settings file's section "Equalizer"
// under the keys "Range00".."Range14". ReadRange is asked at creation; WriteRange is called from
// the window's destructor and must not throw.
class EqualizerStore {
 public:
  virtual ~EqualizerStore() = default;
  virtual int ReadRange(int band, int fallback) = 0;
  virtual void WriteRange(int band, int position) = 0;
};

// A picture control: the picture stretched over the control or at its natural size from the
// top-left corner, with the name of the file it came from. Reports the mouse as signals.
class TImage : public QWidget {
  Q_OBJECT
 public:
  TImage(QWidget* parent, bool stretch);

  void SetPicture(const QImage& picture, const QString& name);
  const QImage& Picture() const { return picture_; }
  const QString& PictureName() const { return name_; }

 signals:
  void MouseDown();
  void MouseUp();
  void MouseMove();
  void Click();  // released over the control after a press on it

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void Rescale();

  bool stretch_;
  QImage picture_;
  QPixmap shown_;  // the picture as painted (scaled once, not at every paint)
  QString name_;
};

// A slider with a number tag and hand-placed tick marks on both sides: ticks at both ends of
// the range and at each position added with SetTick. Vertical sliders have their minimum at the
// top; the arrow keys and the wheel move the thumb the way they point.
class TTrackBar : public QSlider {
  Q_OBJECT
 public:
  TTrackBar(QWidget* parent, const QString& name, int tag);

  int Tag() const { return tag_; }
  void SetTick(int position);
  std::set<int> Ticks() const;  // the ends of the range and the added positions

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int tag_;
  std::set<int> added_ticks_;
};

class TEqualizerPanelForm : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 413;
  static constexpr int kClientHeight = 152;
  static constexpr int kGainSteps = 48;  // gain positions 0 (+15 dB) .. 48 (-15 dB)
  static constexpr int kFlatGain = 24;

  // `store` must outlive the window: it is read here and written by the destructor.
  explicit TEqualizerPanelForm(EqualizerStore& store, QWidget* parent = nullptr);
  // Writes the fifteen gain positions to the store.
  ~TEqualizerPanelForm() override;

  // --- for the program's other parts ---
  // The switch: filtering is on. Read by the audio output before each block (through Hook).
  bool IsOn() const { return hook_.IsOn(); }
  // Exactly what a click on the switch does.
  void Toggle() { EqSwBtnClick(); }
  // The switch and the engine, for OutputAudio::SetEqualizer. The output must be given another
  // hook (or none) before this window is destroyed.
  media::EqualizerHook& Hook() { return hook_; }
  dsp::CDataManager& Engine() { return engine_; }

  // --- handlers ---
  void TrackBarChange(TTrackBar* sender);
  void EqSwBtnClick();
  void SpeedButtonResetClick();
  void ButtonFftClick() {}
  // Run whenever the event loop has nothing left to do: puts the close image back to normal
  // once the cursor has left it, even when no mouse-move over the window said so.
  void AppIdle();

  // --- state and controls, for the tests and the main window ---
  // The values last sent to the engine for band 0..14.
  float BandGain(int band) const { return band_gain_[Checked(band)]; }
  float BandQ(int band) const { return band_q_[Checked(band)]; }
  float BandFrequency(int band) const { return band_frequency_[Checked(band)]; }
  bool Hovering() const { return hovering_; }

  TImage* Image1() const { return image1_; }
  TImage* CloseImg() const { return close_img_; }
  TTrackBar* MasterTrackBar() const { return master_track_bar_; }
  TSpeedButton* EqSwBtn() const { return eq_sw_btn_; }
  TSpeedButton* SpeedButtonReset() const { return speed_button_reset_; }
  QPushButton* ButtonFft() const { return button_fft_; }
  // Band number 1..15, as the controls are named.
  TTrackBar* GainTrackBar(int number) const { return gain_[Checked(number - 1)]; }
  TTrackBar* QTrackBar(int number) const { return q_[Checked(number - 1)]; }
  TTrackBar* FTrackBar(int number) const { return f_[Checked(number - 1)]; }

 signals:
  // The window was closed (it is only hidden): the main window clears its menu check mark.
  void Closed();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  static int Checked(int band);
  void BuildControls();
  void FormCreate();
  void FormShow();
  // Loads the picture by bare name into the control; a picture that cannot be loaded is
  // reported in a message box and the control keeps the picture it had.
  bool LoadPicture(TImage* image, const QString& name);
  void SetSwitchGlyph(bool on);
  // The point (client coordinates) lies on the close image, the switch or the reset button,
  // edges included.
  bool OnControlRects(const QPoint& client) const;
  void SendBand(int band, float frequency, float q, float gain);

  EqualizerStore& store_;
  dsp::CDataManager engine_;
  media::EqualizerEngineHook hook_{engine_};  // the on/off switch, off at start
  bool hovering_ = false;

  // The three controls inside the skin that must stay clickable; copied from the controls.
  QRect close_rect_;
  QRect switch_rect_;
  QRect reset_rect_;

  // Dragging by mouse deltas, where the window manager does not move the window itself.
  bool dragging_ = false;
  QPoint drag_offset_;  // cursor minus the window's top-left corner, at the press

  std::array<TTrackBar*, dsp::kBandCount> gain_{};
  std::array<TTrackBar*, dsp::kBandCount> q_{};
  std::array<TTrackBar*, dsp::kBandCount> f_{};
  std::array<float, dsp::kBandCount> band_gain_{};
  std::array<float, dsp::kBandCount> band_q_{};
  std::array<float, dsp::kBandCount> band_frequency_{};

  TImage* image1_ = nullptr;
  TImage* close_img_ = nullptr;
  TTrackBar* master_track_bar_ = nullptr;
  TSpeedButton* eq_sw_btn_ = nullptr;
  TSpeedButton* speed_button_reset_ = nullptr;
  QPushButton* button_fft_ = nullptr;
  std::array<QLabel*, 5> labels_{};
  std::array<QLabel*, dsp::kBandCount> static_texts_{};
};

}  // namespace ui

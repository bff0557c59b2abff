#include "ui/EqualizerPanel.h"

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QCursor>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyleOptionSlider>
#include <QWindow>
#include <cmath>
#include <stdexcept>

#include "ui/DataFiles.h"
#include "ui/Fonts.h"
#include "ui/JpegImage.h"
#include "ui/MessageBox.h"
#include "ui/SpeedButton.h"

namespace ui {
namespace {

using dsp::BandFrequencies;
using dsp::kBandCount;

// Colours of the controls drawn over the dark skin (the pictures in resources/skin).
const QColor kPanelColour(0x1E, 0x22, 0x28);  // shown where the background picture is missing
const QColor kTextColour(0xDC, 0xE2, 0xEA);
const QColor kBandTextColour(0xF2, 0xC9, 0x6B);
const QColor kButtonColour(0x3A, 0x41, 0x4B);
const QColor kGrooveColour(0x05, 0x06, 0x08);
const QColor kGrooveEdgeColour(0x44, 0x4C, 0x57);
const QColor kTickColour(0x8A, 0x94, 0xA3);
const QColor kMidTickColour(0xE8, 0xB8, 0x4A);

const QString kClosePictures[] = {QStringLiteral("close1.jpg"), QStringLiteral("close2.jpg"),
                                  QStringLiteral("close3.jpg")};
const QString& kCloseNormal = kClosePictures[0];
const QString& kCloseHover = kClosePictures[1];
const QString& kClosePressed = kClosePictures[2];

// Where the gain sliders lie (left, top, width, height), band 1 first. Twelve are in the panel;
// those of bands 1, 2 and 4 lie below it and cannot be seen, but hold positions all the same.
constexpr int kGainPlaces[kBandCount][4] = {
    {49, 176, 30, 150}, {77, 176, 30, 150}, {57, 32, 20, 110},  {122, 175, 30, 150},
    {85, 32, 20, 110},  {112, 32, 20, 110}, {141, 32, 20, 110}, {169, 32, 20, 110},
    {197, 32, 20, 110}, {224, 32, 20, 110}, {252, 32, 20, 110}, {280, 32, 20, 110},
    {308, 32, 20, 110}, {336, 32, 20, 110}, {364, 32, 20, 110}};

const char* const kBandCaptions[kBandCount] = {"25",   "40",  "63",   "100", "160",
                                               "250",  "400", "630",  "1K",  "1.6K",
                                               "2.5K", "4K",  "6.4K", "10K", "16K"};

// Twelve frequency steps of F slider span one band spacing (1.5874, two thirds of an octave);
// the divisor is kept in single precision, as the band frequencies are.
const float kStepsPerDecade = static_cast<float>(12.0 / std::log10(1.5874));

bool InsideInclusive(const QRect& r, const QPoint& p) {
  return p.x() >= r.left() && p.x() <= r.left() + r.width() && p.y() >= r.top() &&
         p.y() <= r.top() + r.height();
}

QPixmap SwitchGlyph(bool on) {
  return QPixmap(on ? QStringLiteral(":/glyphs/EQ_ON.xpm") : QStringLiteral(":/glyphs/EQ_OFF.xpm"));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TImage::TImage(QWidget* parent, bool stretch) : QWidget(parent), stretch_(stretch) {}

void TImage::SetPicture(const QImage& picture, const QString& name) {
  picture_ = picture;
  name_ = name;
  Rescale();
  update();
}

void TImage::Rescale() {
  if (picture_.isNull()) {
    shown_ = QPixmap();
  } else if (stretch_ && picture_.size() != size()) {
    shown_ = QPixmap::fromImage(
        picture_.scaled(size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  } else {
    shown_ = QPixmap::fromImage(picture_);
  }
}

void TImage::paintEvent(QPaintEvent*) {
  if (shown_.isNull()) return;
  QPainter painter(this);
  painter.drawPixmap(0, 0, shown_);
}

void TImage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (stretch_) Rescale();
}

void TImage::mousePressEvent(QMouseEvent* event) {
  event->accept();
  emit MouseDown();
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
  // Click first, then mouse-up: the close image closes the window and then shows its normal
  // picture again, ready for the next time the window is shown.
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit Click();
  }
  emit MouseUp();
}

void TImage::mouseMoveEvent(QMouseEvent* event) {
  event->accept();
  emit MouseMove();
}

// ---------------------------------------------------------------------------------------------

TTrackBar::TTrackBar(QWidget* parent, const QString& name, int tag)
    : QSlider(Qt::Vertical, parent), tag_(tag) {
  setObjectName(name);
  // The minimum is at the top; Up and the wheel turned up move the thumb up, as they point.
  setInvertedAppearance(true);
  setInvertedControls(true);
  setTickPosition(QSlider::NoTicks);  // the ticks are drawn here, at hand-placed positions
  setAttribute(Qt::WA_NoSystemBackground);
}

void TTrackBar::SetTick(int position) {
  if (position > minimum() && position < maximum()) added_ticks_.insert(position);
  update();
}

std::set<int> TTrackBar::Ticks() const {
  std::set<int> ticks{minimum(), maximum()};
  for (int t : added_ticks_) {
    if (t > minimum() && t < maximum()) ticks.insert(t);
  }
  return ticks;
}

void TTrackBar::paintEvent(QPaintEvent*) {
  // Groove, ticks and thumb are drawn for the dark skin; the thumb lies where the style puts
  // it, so that the style's mouse handling grabs what is drawn.
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing, true);
  QStyleOptionSlider option;
  initStyleOption(&option);
  const QRect handle =
      style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);

  auto centre_of = [&](int value) {
    QStyleOptionSlider at = option;
    at.sliderPosition = value;
    at.sliderValue = value;
    return style()->subControlRect(QStyle::CC_Slider, &at, QStyle::SC_SliderHandle, this).center();
  };
  const bool vertical = orientation() == Qt::Vertical;
  const QPoint first = centre_of(minimum());
  const QPoint last = centre_of(maximum());

  // The groove: a dark slot between the two ends of the range.
  const int mid = vertical ? width() / 2 : height() / 2;
  const QRectF groove = vertical ? QRectF(mid - 2, std::min(first.y(), last.y()) - 2, 4,
                                          std::abs(last.y() - first.y()) + 4)
                                 : QRectF(std::min(first.x(), last.x()) - 2, mid - 2,
                                          std::abs(last.x() - first.x()) + 4, 4);
  painter.setPen(kGrooveEdgeColour);
  painter.setBrush(kGrooveColour);
  painter.drawRoundedRect(groove, 2, 2);

  // Ticks on both sides of the groove; the ones inside the range (0 dB) stand out.
  painter.setRenderHint(QPainter::Antialiasing, false);
  for (int t : Ticks()) {
    const QPoint c = centre_of(t);
    const bool inner = t != minimum() && t != maximum();
    painter.setPen(inner ? kMidTickColour : kTickColour);
    const int reach = inner ? 5 : 4;
    if (vertical) {
      painter.drawLine(mid - 3 - reach, c.y(), mid - 4, c.y());
      painter.drawLine(mid + 3, c.y(), mid + 2 + reach, c.y());
    } else {
      painter.drawLine(c.x(), mid - 3 - reach, c.x(), mid - 4);
      painter.drawLine(c.x(), mid + 3, c.x(), mid + 2 + reach);
    }
  }

  // The thumb: a small brushed-metal cap with a line across its middle.
  painter.setRenderHint(QPainter::Antialiasing, true);
  const int thumb_w = vertical ? std::min(width() - 4, 14) : 8;
  const int thumb_h = vertical ? 8 : std::min(height() - 4, 14);
  const QRectF thumb(handle.center().x() - thumb_w / 2.0 + 0.5,
                     handle.center().y() - thumb_h / 2.0 + 0.5, thumb_w, thumb_h);
  QLinearGradient metal(thumb.topLeft(), vertical ? thumb.bottomLeft() : thumb.topRight());
  const bool active = isEnabled();
  metal.setColorAt(0.0, active ? QColor(0xF4, 0xF6, 0xF8) : QColor(0x90, 0x90, 0x90));
  metal.setColorAt(1.0, active ? QColor(0x9A, 0xA3, 0xAE) : QColor(0x60, 0x60, 0x60));
  painter.setPen(QColor(0x05, 0x06, 0x08));
  painter.setBrush(metal);
  painter.drawRoundedRect(thumb, 1.5, 1.5);
  painter.setPen(QColor(0x30, 0x36, 0x3E));
  if (vertical) {
    painter.drawLine(QPointF(thumb.left() + 2, thumb.center().y()),
                     QPointF(thumb.right() - 2, thumb.center().y()));
  } else {
    painter.drawLine(QPointF(thumb.center().x(), thumb.top() + 2),
                     QPointF(thumb.center().x(), thumb.bottom() - 2));
  }
}

// ---------------------------------------------------------------------------------------------

TEqualizerPanelForm::TEqualizerPanelForm(EqualizerStore& store, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), store_(store) {
  setWindowTitle(QStringLiteral("ｲｺﾗｲｻﾞｰﾊﾟﾈﾙ"));
  setFont(WindowFont(12));
  // Closing only hides the window; it must never end the program.
  setAttribute(Qt::WA_QuitOnClose, false);
  setFixedSize(kClientWidth, kClientHeight);
  move(369, 402);

  QPalette colours = palette();
  colours.setColor(QPalette::Window, kPanelColour);
  colours.setColor(QPalette::WindowText, kTextColour);
  colours.setColor(QPalette::Button, kButtonColour);
  colours.setColor(QPalette::ButtonText, kTextColour);
  setPalette(colours);
  setAutoFillBackground(true);

  BuildControls();
  close_rect_ = close_img_->geometry();
  switch_rect_ = eq_sw_btn_->geometry();
  reset_rect_ = speed_button_reset_->geometry();
  FormCreate();
}

TEqualizerPanelForm::~TEqualizerPanelForm() {
  for (int band = 0; band < kBandCount; ++band) store_.WriteRange(band, gain_[band]->value());
  // The engine goes before the sliders (members before the base class): nothing may reach the
  // handlers any more.
  for (TTrackBar* slider : findChildren<TTrackBar*>()) slider->disconnect(this);
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread())) {
    dispatcher->disconnect(this);
  }
}

int TEqualizerPanelForm::Checked(int band) {
  if (band < 0 || band >= kBandCount) throw std::out_of_range("equalizer band out of range");
  return band;
}

void TEqualizerPanelForm::BuildControls() {
  image1_ = new TImage(this, /*stretch=*/true);
  image1_->setObjectName(QStringLiteral("Image1"));
  image1_->setGeometry(0, 0, kClientWidth, kClientHeight);
  // The background belongs to the window: a press on it drags the window.
  image1_->setAttribute(Qt::WA_TransparentForMouseEvents);

  close_img_ = new TImage(this, /*stretch=*/false);
  close_img_->setObjectName(QStringLiteral("CloseImg"));
  close_img_->setGeometry(396, 7, 13, 13);
  close_img_->setMouseTracking(true);  // hover without a button held
  connect(close_img_, &TImage::MouseMove, this, [this] {
    // The flag is set even when the picture fails, so that a missing picture is reported once
    // and not at every movement.
    if (hovering_) return;
    hovering_ = true;
    LoadPicture(close_img_, kCloseHover);
  });
  connect(close_img_, &TImage::MouseDown, this, [this] { LoadPicture(close_img_, kClosePressed); });
  connect(close_img_, &TImage::MouseUp, this, [this] { LoadPicture(close_img_, kCloseNormal); });
  connect(close_img_, &TImage::Click, this, [this] { close(); });

  auto make_label = [this](const char* name, const char* text, int x, int y, int pixels,
                           bool bold) {
    auto* label = new QLabel(QString::fromUtf8(text), this);
    label->setObjectName(QLatin1String(name));
    QFont font = WindowFont(pixels);
    font.setBold(bold);
    label->setFont(font);
    label->move(x, y);
    label->adjustSize();
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
  };
  labels_[0] = make_label("Label1", "Vol", 9, 18, 11, true);
  labels_[1] = make_label("Label2", "0db", 34, 33, 9, false);
  labels_[2] = make_label("Label3", "-60db", 32, 93, 9, false);
  labels_[3] = make_label("Label4", "+15db", 386, 34, 9, false);
  labels_[4] = make_label("Label5", "-15db", 386, 130, 9, false);

  master_track_bar_ = new TTrackBar(this, QStringLiteral("MasterTrackBar"), 0);
  master_track_bar_->setGeometry(5, 31, 24, 74);
  master_track_bar_->setRange(0, 60);
  master_track_bar_->setValue(5);
  master_track_bar_->setSingleStep(6);
  master_track_bar_->setPageStep(1);
  master_track_bar_->setToolTip(QStringLiteral("ﾏｽﾀｰﾎﾞﾘｭｰﾑです"));
  connect(master_track_bar_, &QSlider::valueChanged, this,
          [this] { TrackBarChange(master_track_bar_); });

  eq_sw_btn_ = new TSpeedButton(this);
  eq_sw_btn_->setObjectName(QStringLiteral("EqSwBtn"));
  eq_sw_btn_->setGeometry(8, 106, 43, 18);
  connect(eq_sw_btn_, &QAbstractButton::clicked, this, [this] { EqSwBtnClick(); });

  speed_button_reset_ = new TSpeedButton(this);
  speed_button_reset_->setObjectName(QStringLiteral("SpeedButtonReset"));
  speed_button_reset_->setGeometry(8, 128, 43, 18);
  speed_button_reset_->setText(QStringLiteral("ﾘｾｯﾄ"));
  connect(speed_button_reset_, &QAbstractButton::clicked, this,
          [this] { SpeedButtonResetClick(); });

  // The band sliders start as the window's layout has them; the creation handler then sets
  // their ranges and positions.
  auto make_slider = [this](const QString& name, int tag, QRect place, int low, int high,
                            int position) {
    auto* slider = new TTrackBar(this, name, tag);
    slider->setGeometry(place);
    slider->setRange(low, high);
    slider->setValue(position);
    slider->setSingleStep(1);
    slider->setPageStep(2);
    connect(slider, &QSlider::valueChanged, this, [this, slider] { TrackBarChange(slider); });
    return slider;
  };
  for (int number = 1; number <= kBandCount; ++number) {
    const int* g = kGainPlaces[number - 1];
    const QRect gain_place(g[0], g[1], g[2], g[3]);
    make_slider(QStringLiteral("GainTrackBar%1").arg(number), number, gain_place, 0, kGainSteps,
                kFlatGain);
    make_slider(QStringLiteral("QTrackBar%1").arg(number), number,
                QRect(8 + 27 * (number - 1), 331, 20, 80), 1, 10, 5);
    make_slider(QStringLiteral("FTrackBar%1").arg(number), number,
                QRect(8 + 27 * (number - 1), 413, 20, 80), 0, 24, 12);

    auto* text = new QLabel(QLatin1String(kBandCaptions[number - 1]), this);
    text->setObjectName(QStringLiteral("StaticText%1").arg(number));
    text->setFont(WindowFont(9));
    text->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    text->setGeometry(gain_place.center().x() - 14, gain_place.top() - 13, 29, 11);
    QPalette text_colours = text->palette();
    text_colours.setColor(QPalette::WindowText, kBandTextColour);
    text->setPalette(text_colours);
    text->setAttribute(Qt::WA_TransparentForMouseEvents);
    static_texts_[number - 1] = text;
  }

  button_fft_ = new QPushButton(QStringLiteral("FFT表示"), this);
  button_fft_->setObjectName(QStringLiteral("ButtonFft"));
  button_fft_->setGeometry(10, 341, 75, 25);
  button_fft_->setEnabled(false);
  connect(button_fft_, &QPushButton::clicked, this, [this] { ButtonFftClick(); });

  // The picture at the bottom, the close image above the other controls.
  image1_->lower();
  close_img_->raise();
}

void TEqualizerPanelForm::FormCreate() {
  int stored[kBandCount];
  for (int band = 0; band < kBandCount; ++band) stored[band] = store_.ReadRange(band, kFlatGain);

  for (int number = 1; number <= kBandCount; ++number) {
    TTrackBar* gain = findChild<TTrackBar*>(QStringLiteral("GainTrackBar%1").arg(number));
    TTrackBar* q = findChild<TTrackBar*>(QStringLiteral("QTrackBar%1").arg(number));
    TTrackBar* f = findChild<TTrackBar*>(QStringLiteral("FTrackBar%1").arg(number));
    if (gain == nullptr || q == nullptr || f == nullptr) {
      throw std::logic_error("equalizer window: a band slider is missing");
    }
    gain_[number - 1] = gain;
    q_[number - 1] = q;
    f_[number - 1] = f;
  }

  for (int band = 0; band < kBandCount; ++band) {
    gain_[band]->setRange(0, kGainSteps);
    gain_[band]->setValue(stored[band]);  // a stored value outside 0..48 is clamped here
    q_[band]->setRange(1, 10);
    q_[band]->setValue(5);
    f_[band]->setRange(0, 24);
    f_[band]->setValue(12);
    // A slider that already stood where it is put reports no change, so every band is sent
    // here once more: each reaches the engine with its stored gain, Q 5 and its nominal
    // frequency before any playback.
    TrackBarChange(gain_[band]);
  }

  TrackBarChange(master_track_bar_);  // -5 dB at the start position 5
  SetSwitchGlyph(false);
  hook_.SetOn(false);

  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread())) {
    // aboutToBlock comes each time the event loop has run out of events and is about to sleep:
    // the moment the queue is empty. It costs nothing while nothing happens (a zero-interval
    // timer would keep the loop spinning instead).
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
            &TEqualizerPanelForm::AppIdle);
  }
}

void TEqualizerPanelForm::FormShow() {
  LoadPicture(image1_, QStringLiteral("EqPanel.jpg"));
  LoadPicture(close_img_, kCloseNormal);
  for (int band = 0; band < kBandCount; ++band) {
    gain_[band]->SetTick(kFlatGain);
    f_[band]->SetTick(12);
  }
}

bool TEqualizerPanelForm::LoadPicture(TImage* image, const QString& name) {
  const QString path = FindDataFile(name);
  JpegPicture picture;
  if (path.isEmpty()) {
    picture.error =
        name + QStringLiteral(": not found in ") + DataFolders().join(QStringLiteral(", "));
  } else {
    picture = LoadJpegFile(path);
  }
  if (picture.Ok()) {
    image->SetPicture(picture.image, name);
    return true;
  }
  // The cause goes to the terminal for whoever started the program from one; the user sees
  // the window's own message and keeps the picture there was.
  qWarning("%s", qUtf8Printable(picture.error));
  MessageRequest request;
  request.text = name + QStringLiteral("を読み込めませんでした...");
  request.buttons = MsgButtons::kOk;
  request.system_modal = true;
  ShowMessage(nullptr, request);
  return false;
}

void TEqualizerPanelForm::SetSwitchGlyph(bool on) {
  eq_sw_btn_->SetGlyph(SwitchGlyph(on));
}

void TEqualizerPanelForm::TrackBarChange(TTrackBar* sender) {
  if (sender->objectName().startsWith(QLatin1String("MasterTra"))) {
    // Position 0 is 0 dB, each step 1 dB less, down to -60 dB at 60.
    engine_.SetMasterGain(static_cast<float>(std::pow(10.0, -0.05 * sender->value())));
    return;
  }
  const int band = sender->Tag() - 1;
  if (band < 0 || band >= kBandCount || gain_[band] == nullptr) return;  // not yet looked up
  // Gain position 0 (top) is +15 dB, 24 is 0 dB, 48 (bottom) -15 dB, 0.625 dB a step.
  const double db = (kFlatGain - gain_[band]->value()) * 0.625;
  const float gain = static_cast<float>(std::pow(10.0, db * 0.05));
  const float q = static_cast<float>(q_[band]->value());
  // F position 12 is the band's nominal frequency; twelve steps up or down reach the next
  // band's centre.
  const float frequency = static_cast<float>(
      static_cast<double>(BandFrequencies[band]) *
      std::pow(10.0, (12 - f_[band]->value()) / static_cast<double>(kStepsPerDecade)));
  SendBand(band, frequency, q, gain);
}

void TEqualizerPanelForm::SendBand(int band, float frequency, float q, float gain) {
  band_gain_[band] = gain;
  band_q_[band] = q;
  band_frequency_[band] = frequency;
  engine_.SetBand(1, band, frequency, q, gain);
  engine_.SetBand(2, band, frequency, q, gain);
}

void TEqualizerPanelForm::EqSwBtnClick() {
  // The glyph always shows the state the click leads to.
  const bool on = !hook_.IsOn();
  SetSwitchGlyph(on);
  hook_.SetOn(on);
}

void TEqualizerPanelForm::SpeedButtonResetClick() {
  for (int band = 0; band < kBandCount; ++band) {
    gain_[band]->setValue(kFlatGain);
    q_[band]->setValue(3);
    f_[band]->setValue(12);
    // Sent again whether or not a slider moved: after a reset every band is flat with Q 3.
    SendBand(band, BandFrequencies[band], 3.0f, 1.0f);
  }
}

void TEqualizerPanelForm::AppIdle() {
  // Asking for the cursor costs a round trip to the display server, so only while the hover
  // picture is up.
  if (!hovering_) return;
  if (InsideInclusive(close_rect_, mapFromGlobal(QCursor::pos()))) return;
  // Cleared before loading: a failure's message box runs an event loop of its own, which comes
  // back here and must find nothing more to do.
  hovering_ = false;
  LoadPicture(close_img_, kCloseNormal);
}

bool TEqualizerPanelForm::OnControlRects(const QPoint& client) const {
  return InsideInclusive(close_rect_, client) || InsideInclusive(switch_rect_, client) ||
         InsideInclusive(reset_rect_, client);
}

void TEqualizerPanelForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // A window coming back from the task bar is not shown anew.
  if (!event->spontaneous()) FormShow();
}

void TEqualizerPanelForm::closeEvent(QCloseEvent* event) {
  emit Closed();
  event->accept();
}

void TEqualizerPanelForm::mousePressEvent(QMouseEvent* event) {
  // Only presses on the background get here: the close image, the buttons and the sliders take
  // their own. The window has no frame, so the background is where it is dragged from.
  const QPoint at = event->position().toPoint();
  if (event->button() != Qt::LeftButton || OnControlRects(at)) {
    QWidget::mousePressEvent(event);
    return;
  }
  event->accept();
  // The window manager moves the window where it can (and keeps it on the screen); without one
  // that does, the window follows the mouse here.
  if (QWindow* window = windowHandle(); window != nullptr && window->startSystemMove()) return;
  dragging_ = true;
  drag_offset_ = event->globalPosition().toPoint() - pos();
}

void TEqualizerPanelForm::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) {
    QWidget::mouseMoveEvent(event);
    return;
  }
  if (!(event->buttons() & Qt::LeftButton)) {
    dragging_ = false;
    return;
  }
  move(event->globalPosition().toPoint() - drag_offset_);
  event->accept();
}

void TEqualizerPanelForm::mouseReleaseEvent(QMouseEvent* event) {
  if (dragging_ && event->button() == Qt::LeftButton) {
    dragging_ = false;
    event->accept();
    return;
  }
  QWidget::mouseReleaseEvent(event);
}

}  // namespace ui

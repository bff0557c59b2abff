// The equalizer window on the offscreen platform, with its skin pictures beside the test program
// (as the build puts them beside the program): what reaches the engine from the sliders, the
// switch, Reset, the close image, dragging by the background, and keeping the gains.
#include <QCursor>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>
#include <cmath>

#include "tests/ui/ui_test_support.h"
#include "ui/JpegImage.h"
#include "ui/SpeedButton.h"

namespace {

using dsp::BandFrequencies;
using dsp::kBandCount;
using ui::TEqualizerPanelForm;

constexpr float kDesignPeriod = 1.0f / 44000.0f;  // no block played yet: bands designed for 44 kHz

double Db(double linear) {
  return 20.0 * std::log10(linear);
}

// The engine's band (both channels) has the design of a band set to these values.
void ExpectDesign(dsp::CDataManager& engine, int band, double frequency, double q, double gain) {
  dsp::CEqualizer reference;
  reference.SetParam(kDesignPeriod, static_cast<float>(frequency), static_cast<float>(q),
                     static_cast<float>(gain));
  const auto want = reference.GetCoefficients();
  for (int channel = 1; channel <= 2; ++channel) {
    const auto got = engine.Band(channel, band).GetCoefficients();
    const float w[] = {want.b0, want.b1, want.b2, want.a1, want.a2};
    const float g[] = {got.b0, got.b1, got.b2, got.a1, got.a2};
    for (int i = 0; i < 5; ++i) {
      EXPECT_NEAR(g[i], w[i], 2e-5 * std::max(1.0f, std::abs(w[i])))
          << "band " << band << " channel " << channel << " coefficient " << i;
    }
  }
}

QImage GlyphImage(const char* name) {
  return QPixmap(QStringLiteral(":/glyphs/%1.xpm").arg(QLatin1String(name))).toImage();
}

class EqualizerPanelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { uitest::EnsureApplication(); }
  void SetUp() override { form = std::make_unique<TEqualizerPanelForm>(store); }

  // Shows the window and waits until it is on the (offscreen) screen.
  QWindow* Show() {
    form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    return form->windowHandle();
  }
  QPoint CentreOf(QWidget* control) const {
    return control->mapTo(form.get(), control->rect().center());
  }

  uitest::FreshFolder folder;  // no pictures in the current folder: they come from beside us
  uitest::RecordedMessages messages;
  uitest::MemoryStore store;
  std::unique_ptr<TEqualizerPanelForm> form;
};

TEST_F(EqualizerPanelTest, AFreshStartSendsEveryBandFlatWithQ5AndTheSwitchOff) {
  EXPECT_EQ(form->size(), QSize(413, 152));
  EXPECT_EQ(form->pos(), QPoint(369, 402));
  EXPECT_TRUE(form->windowFlags() & Qt::FramelessWindowHint);
  for (int band = 0; band < kBandCount; ++band) {
    EXPECT_EQ(form->GainTrackBar(band + 1)->value(), 24);
    EXPECT_EQ(form->BandGain(band), 1.0f);
    EXPECT_EQ(form->BandQ(band), 5.0f);
    EXPECT_EQ(form->BandFrequency(band), BandFrequencies[band]);
    ExpectDesign(form->Engine(), band, BandFrequencies[band], 5.0, 1.0);
  }
  EXPECT_NEAR(Db(form->Engine().MasterGain()), -5.0, 1e-4);
  EXPECT_FALSE(form->IsOn());
  EXPECT_FALSE(form->Hook().IsOn());
  EXPECT_EQ(form->EqSwBtn()->Glyph().toImage(), GlyphImage("EQ_OFF"));
  EXPECT_FALSE(form->ButtonFft()->isEnabled());

  // Shown: the pictures come from the program's folder, the current one having none.
  Show();
  EXPECT_TRUE(messages.shown.empty()) << messages.Texts().join(u'\n').toStdString();
  EXPECT_EQ(form->Image1()->PictureName(), QStringLiteral("EqPanel.jpg"));
  EXPECT_EQ(form->Image1()->Picture().size(), QSize(413, 152));
  EXPECT_EQ(form->CloseImg()->PictureName(), QStringLiteral("close1.jpg"));
  EXPECT_EQ(form->GainTrackBar(9)->Ticks(), (std::set<int>{0, 24, 48}));
  EXPECT_EQ(form->FTrackBar(9)->Ticks(), (std::set<int>{0, 12, 24}));
}

TEST_F(EqualizerPanelTest, SliderPositionsBecomeEngineParameters) {
  // One band's three sliders: gain, Q and frequency offset.
  const struct {
    int number;  // band 1..15 as the sliders are named
    int gain, q, f;
    double db, want_q, frequency_ratio;
  } bands[] = {
      {9, 0, 5, 12, 15.0, 5, 1.0},         // top of the gain slider: +15 dB
      {9, 48, 5, 12, -15.0, 5, 1.0},       // bottom: -15 dB
      {3, 20, 1, 12, 2.5, 1, 1.0},         // 0.625 dB a step; Q 1
      {12, 47, 10, 12, -14.375, 10, 1.0},  // Q 10
      {5, 24, 5, 0, 0.0, 5, 1.5874},       // F 0: the next band's centre
      {5, 24, 5, 24, 0.0, 5, 1 / 1.5874},  // F 24: the previous band's centre
      {14, 30, 4, 6, -3.75, 4, std::sqrt(1.5874)},
  };
  for (const auto& c : bands) {
    SCOPED_TRACE(testing::Message()
                 << "band " << c.number << " gain " << c.gain << " q " << c.q << " f " << c.f);
    form->GainTrackBar(c.number)->setValue(c.gain);
    form->QTrackBar(c.number)->setValue(c.q);
    form->FTrackBar(c.number)->setValue(c.f);
    const int band = c.number - 1;
    const double frequency = BandFrequencies[band] * c.frequency_ratio;
    EXPECT_NEAR(Db(form->BandGain(band)), c.db, 1e-4);
    EXPECT_EQ(form->BandQ(band), c.want_q);
    EXPECT_NEAR(form->BandFrequency(band) / frequency, 1.0, 1e-4);
    ExpectDesign(form->Engine(), band, frequency, c.want_q, std::pow(10.0, c.db / 20));
  }

  const struct {
    int position;
    double gain;
  } masters[] = {{0, 1.0}, {60, 1e-3}, {5, 0.562341}, {30, 0.0316228}};
  for (const auto& m : masters) {
    form->MasterTrackBar()->setValue(m.position);
    EXPECT_NEAR(form->Engine().MasterGain() / m.gain, 1.0, 1e-5) << "master " << m.position;
  }
}

TEST_F(EqualizerPanelTest, StoredGainsAreReadClampedAndSurviveARestart) {
  store.values = {{0, 0}, {1, 48}, {2, 99}, {3, -7}, {8, 10}};
  form = std::make_unique<TEqualizerPanelForm>(store);
  const struct {
    int band, position;
    double db;
  } read[] = {{0, 0, 15}, {1, 48, -15}, {2, 48, -15}, {3, 0, 15}, {8, 10, 8.75}, {14, 24, 0}};
  for (const auto& r : read) {
    EXPECT_EQ(form->GainTrackBar(r.band + 1)->value(), r.position) << "band " << r.band;
    EXPECT_NEAR(Db(form->BandGain(r.band)), r.db, 1e-4) << "band " << r.band;
    // Whatever was stored, the band's last design carries Q 5 and its nominal frequency.
    ExpectDesign(form->Engine(), r.band, BandFrequencies[r.band], 5.0, std::pow(10.0, r.db / 20));
  }

  // A "restart": the window is destroyed (writing every band) and made anew over the store.
  form->GainTrackBar(15)->setValue(40);
  form->QTrackBar(15)->setValue(9);  // Q, frequency and master are not kept
  form->MasterTrackBar()->setValue(60);
  form.reset();
  ASSERT_EQ(store.values.size(), 15u);
  EXPECT_EQ(store.values[2], 48);  // written back as the slider held it
  EXPECT_EQ(store.values[3], 0);
  EXPECT_EQ(store.values[14], 40);
  EXPECT_EQ(store.values[13], 24);
  form = std::make_unique<TEqualizerPanelForm>(store);
  for (int band = 0; band < kBandCount; ++band) {
    EXPECT_EQ(form->GainTrackBar(band + 1)->value(), store.values[band]);
    EXPECT_EQ(form->BandQ(band), 5.0f);
  }
  EXPECT_NEAR(Db(form->BandGain(14)), -10.0, 1e-4);
  EXPECT_EQ(form->MasterTrackBar()->value(), 5);
}

TEST_F(EqualizerPanelTest, ResetMakesEveryBandFlatWithQ3AndLeavesTheMaster) {
  QWindow* window = Show();
  form->GainTrackBar(3)->setValue(0);
  form->QTrackBar(7)->setValue(8);
  form->FTrackBar(10)->setValue(2);
  form->MasterTrackBar()->setValue(20);
  QTest::mouseClick(window, Qt::LeftButton, {}, CentreOf(form->SpeedButtonReset()));
  for (int band = 0; band < kBandCount; ++band) {
    EXPECT_EQ(form->GainTrackBar(band + 1)->value(), 24);
    EXPECT_EQ(form->QTrackBar(band + 1)->value(), 3);
    EXPECT_EQ(form->FTrackBar(band + 1)->value(), 12);
    EXPECT_EQ(form->BandQ(band), 3.0f);
    ExpectDesign(form->Engine(), band, BandFrequencies[band], 3.0, 1.0);
  }
  // Q matters even for a flat band: the Q 3 design is not the start-up one.
  dsp::CEqualizer start;
  start.SetParam(kDesignPeriod, BandFrequencies[8], 5.0f, 1.0f);
  EXPECT_GT(std::abs(form->Engine().Band(1, 8).GetCoefficients().a2 - start.GetCoefficients().a2),
            1e-4);
  EXPECT_EQ(form->MasterTrackBar()->value(), 20);
  EXPECT_NEAR(Db(form->Engine().MasterGain()), -20.0, 1e-4);
}

TEST_F(EqualizerPanelTest, TheSwitchFlipsWithEachClickAndWithToggle) {
  QWindow* window = Show();
  const QPoint on_switch = CentreOf(form->EqSwBtn());
  QTest::mouseClick(window, Qt::LeftButton, {}, on_switch);
  EXPECT_TRUE(form->IsOn());
  EXPECT_TRUE(form->Hook().IsOn());
  EXPECT_EQ(form->EqSwBtn()->Glyph().toImage(), GlyphImage("EQ_ON"));
  QTest::mouseClick(window, Qt::LeftButton, {}, on_switch);
  EXPECT_FALSE(form->IsOn());
  EXPECT_EQ(form->EqSwBtn()->Glyph().toImage(), GlyphImage("EQ_OFF"));
  form->Toggle();
  EXPECT_TRUE(form->IsOn());
  EXPECT_EQ(form->EqSwBtn()->Glyph().toImage(), GlyphImage("EQ_ON"));
}

TEST_F(EqualizerPanelTest, TheBackgroundDragsTheWindowAndTheControlsStayClickable) {
  QWindow* window = Show();
  QSignalSpy closed(form.get(), &TEqualizerPanelForm::Closed);
  const struct {
    const char* where;
    QPoint press;
    bool drags;
  } presses[] = {
      {"title strip", {200, 6}, true},
      {"between two sliders", {82, 100}, true},
      {"under a label", {390, 36}, true},
      {"switch", CentreOf(form->EqSwBtn()), false},
      {"reset", CentreOf(form->SpeedButtonReset()), false},
      {"gain slider", CentreOf(form->GainTrackBar(9)), false},
      {"edge of the close image", {409, 13}, false},  // the edges count as the control
  };
  for (const auto& p : presses) {
    SCOPED_TRACE(p.where);
    const QPoint start = form->pos();
    QTest::mousePress(window, Qt::LeftButton, {}, p.press);
    QTest::mouseMove(window, p.press + QPoint(30, 20));
    // A window that moved is now 30, 20 further: the cursor is over the same spot of it again.
    QTest::mouseRelease(window, Qt::LeftButton, {}, p.drags ? p.press : p.press + QPoint(30, 20));
    EXPECT_EQ(form->pos(), p.drags ? start + QPoint(30, 20) : start);
  }
  EXPECT_FALSE(form->IsOn()) << "the press on the switch was released elsewhere: no click";
  // A plain click on the switch flips it; on the close image it closes (hides) the window.
  QTest::mouseClick(window, Qt::LeftButton, {}, CentreOf(form->EqSwBtn()));
  EXPECT_TRUE(form->IsOn());
  EXPECT_EQ(closed.count(), 0);
  const QPoint start = form->pos();
  QTest::mouseClick(window, Qt::LeftButton, {}, CentreOf(form->CloseImg()));
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(closed.count(), 1);
  EXPECT_EQ(form->pos(), start);
}

TEST_F(EqualizerPanelTest, TheCloseImageFollowsTheMouseAndIdleRestoresIt) {
  QWindow* window = Show();
  QSignalSpy closed(form.get(), &TEqualizerPanelForm::Closed);
  const QPoint on_close = CentreOf(form->CloseImg());
  QCursor::setPos(form->mapToGlobal(on_close));
  QTest::mouseMove(window, on_close);
  EXPECT_TRUE(form->Hovering());
  EXPECT_EQ(form->CloseImg()->PictureName(), QStringLiteral("close2.jpg"));
  uitest::RunUntilIdle();
  EXPECT_EQ(form->CloseImg()->PictureName(), QStringLiteral("close2.jpg"))
      << "the cursor is still on it";

  // The cursor leaves quickly: no mouse-move reaches the window, only the idle check sees it.
  QCursor::setPos(form->mapToGlobal(QPoint(200, 80)));
  EXPECT_EQ(form->CloseImg()->PictureName(), QStringLiteral("close2.jpg"));
  uitest::RunUntilIdle();
  EXPECT_FALSE(form->Hovering());
  EXPECT_EQ(form->CloseImg()->PictureName(), QStringLiteral("close1.jpg"));

  QCursor::setPos(form->mapToGlobal(on_close));
  QTest::mousePress(window, Qt::LeftButton, {}, on_close);
  EXPECT_EQ(form->CloseImg()->PictureName(), QStringLiteral("close3.jpg"));
  QTest::mouseRelease(window, Qt::LeftButton, {}, on_close);
  EXPECT_EQ(form->CloseImg()->PictureName(), QStringLiteral("close1.jpg"));
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(closed.count(), 1);
  EXPECT_TRUE(messages.shown.empty()) << messages.Texts().join(u'\n').toStdString();
}

}  // namespace

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>

#include "app/data/PAV_DataManagement.h"
#include "ui/ConnectionDialog.h"
#include "ui/ViewBase.h"
#include "ui/ViewMessages.h"
#include "ui/ViewText.h"
#include "UiTestSupport.h"

namespace {

TEST(TextTable, AlignsValuesUnderTheirCaptions) {
  const std::string table = FormatTextTable({"Channel", "Frequency [Hz]"}, {{"A1", "10.5"}, {"A10", "9999999.25"}});
  EXPECT_EQ(table,
            "Channel  Frequency [Hz]\n"
            "A1                 10.5\n"
            "A10          9999999.25\n");
}

// Captions longer than their values wrap at blanks onto header lines that
// end next to the values; short ones stay on the last header line.
TEST(TextTable, WrapsLongCaptionsAboveNarrowValues) {
  const std::string table = FormatTextTable({"Channel", "Interval Diff. Short Average [ns]", "Time Interval [ns]"},
                                            {{"QA1", "12.50", "3289702.62"}, {"QA2", "-", "3313065.61"}});
  EXPECT_EQ(table,
            "         Interval Diff.\n"
            "          Short Average  Time Interval\n"
            "Channel            [ns]           [ns]\n"
            "QA1               12.50     3289702.62\n"
            "QA2                   -     3313065.61\n");
  // A word longer than the wrap width keeps its own line; values wider than
  // the caption keep it on one line.
  EXPECT_EQ(FormatTextTable({"C", "Extraordinarily [Hz]"}, {{"A1", "1"}}),
            "    Extraordinarily\n"
            "C              [Hz]\n"
            "A1                1\n");
  EXPECT_EQ(FormatTextTable({"C", "Phase Difference [ps]"}, {{"A1", "123456789012345678901.5"}}),
            "C     Phase Difference [ps]\n"
            "A1  123456789012345678901.5\n");
}

// Each card's inputs show their state beside the session's signal names,
// aligned however long a name is; the card overview stays above them.
TEST(DigitalInputs, StatesShowBesideTheSignalNames) {
  TPAV_DataManagement store(-1, 0, false);
  TPDINames names;
  EXPECT_EQ(DigitalInputsTable(store, names), "No digital-input cards\nreported by the counter.\n");
  ASSERT_TRUE(store.AddPDI("7100; 80010005 00000000\r\n"));
  for (int card = 1; card <= kPDICards; ++card)
    for (int bit = 0; bit < kPDIBits; ++bit)
      names[static_cast<std::size_t>(card - 1)][static_cast<std::size_t>(bit)] = DefaultPDISignalName(card, bit);
  names[0][2] = "Door \xC3\xB6" "ffnen";  // wider in bytes than on screen
  names[0][16] = "Pump";
  const std::string table = DigitalInputsTable(store, names);
  const std::vector<std::string> lines = TextLines(table);
  ASSERT_EQ(lines.size(), 3u + 2 * 18u) << table;
  EXPECT_EQ(lines[1], "1     80010005  10000000 00000001 00000000 00000101");
  EXPECT_EQ(lines[2], "2     00000000  00000000 00000000 00000000 00000000");
  EXPECT_EQ(lines[4], "Card 1");
  EXPECT_EQ(lines[5], " 1 PDI1_Bit0   = 1    17 Pump        = 1");
  EXPECT_EQ(lines[6], " 2 PDI1_Bit1   = 0    18 PDI1_Bit17  = 0");
  EXPECT_EQ(lines[7], " 3 Door \xC3\xB6" "ffnen = 1    19 PDI1_Bit18  = 0");
  EXPECT_EQ(lines[20], "16 PDI1_Bit15  = 0    32 PDI1_Bit31  = 1");
  EXPECT_EQ(lines[22], "Card 2");
  EXPECT_EQ(lines[23], " 1 PDI2_Bit0  = 0    17 PDI2_Bit16 = 0");
}

TEST(PlotColors, AreTheSettingsColoursReadableOnWhite) {
  EXPECT_EQ(ColorFromBgr(0x0000FF), QColor(255, 0, 0));  // red in the low byte
  EXPECT_EQ(ColorFromBgr(0xFF0000), QColor(0, 0, 255));
  EXPECT_LT(PlotColor(0x00FFFF).lightness(), 171);  // yellow is darkened
  EXPECT_EQ(PlotColor(0x800080), ColorFromBgr(0x800080));
}

// The window follows the list: new messages are appended, a folded one
// rewrites its line, a cleared list empties the window.
TEST(MessageWindow, FollowsTheMessageList) {
  TestApplication();
  TMessageList list;
  TViewMessages view(list);
  list.AddError(0, 72, 0, "Connect Source Failed");
  list.AddWarning(1, 41, 0, "Clock alarm");
  view.Tick();
  QStringList lines = view.Text().split('\n');
  ASSERT_EQ(lines.size(), 2) << view.Text().toStdString();
  EXPECT_TRUE(lines[0].contains("Connect Source Failed"));
  EXPECT_TRUE(lines[1].contains("Clock alarm"));
  list.AddError(0, 72, 0, "Connect Source Failed");
  view.Tick();
  lines = view.Text().split('\n');
  ASSERT_EQ(lines.size(), 2) << view.Text().toStdString();
  EXPECT_TRUE(lines[1].contains("Connect Source Failed (2)")) << lines[1].toStdString();
  list.Clear();
  view.Tick();
  EXPECT_TRUE(view.Text().isEmpty());
}

// The change dialog opens on the session's connection and gives it back
// unchanged, with the name, colour and buffer option of the proposal.
TEST(ConnectionDialog, StartsFromTheSessionsConnection) {
  TestApplication();
  for (const char* connection : {"DemoData", "TCP:10.0.0.2:5025", "ARCHIVE:10.0.0.2:5025 20240801_120000",
                                 "CAN:RACK3 CHANNEL1", "HOST:/counter.local:4001"}) {
    SCOPED_TRACE(connection);
    TConnectionChoice proposal;
    proposal.OpenString = connection;
    proposal.FriendlyName = "Lab";
    proposal.Color = 0x00FF00;
    proposal.ClearBuffer = false;
    TConnectionDialog dialog(proposal);
    const TConnectionChoice choice = dialog.Choice();
    EXPECT_EQ(choice.OpenString, connection);
    EXPECT_EQ(choice.FriendlyName, "Lab");
    EXPECT_EQ(choice.Color, 0x00FF00u);
    EXPECT_FALSE(choice.ClearBuffer);
    EXPECT_TRUE(dialog.Preview().contains(connection)) << dialog.Preview().toStdString();
  }
}

// The counter options start from the session's and come back as chosen; a
// data server or a replayed file takes no channel-count command.
TEST(ConnectionDialog, CounterOptionsAndChannelCount) {
  TestApplication();
  TConnectionChoice proposal;
  proposal.OpenString = "DemoData";
  proposal.UseDeviceCalibration = false;
  proposal.Ref20MHz = true;
  TConnectionDialog dialog(proposal);
  EXPECT_FALSE(dialog.DeviceCalibrationBox()->isChecked());
  EXPECT_TRUE(dialog.Ref20MHzBox()->isChecked());
  QComboBox& channels = *dialog.ChannelCountBox();
  EXPECT_EQ(channels.currentData().toInt(), -1);  // the counter's own setting stays
  EXPECT_EQ(dialog.Choice().ChannelCount, -1);
  EXPECT_EQ(channels.itemText(1).toStdString(), "Transmit all channels");
  EXPECT_EQ(channels.itemText(2).toStdString(), "Transmit channel 1");
  EXPECT_EQ(channels.itemText(channels.count() - 1).toStdString(), "Transmit channels 1..23");
  channels.setCurrentIndex(channels.findData(8));
  dialog.DeviceCalibrationBox()->setChecked(true);
  dialog.Ref20MHzBox()->setChecked(false);
  TConnectionChoice choice = dialog.Choice();
  EXPECT_EQ(choice.ChannelCount, 8);
  EXPECT_TRUE(choice.UseDeviceCalibration);
  EXPECT_FALSE(choice.Ref20MHz);
  EXPECT_EQ(choice.PortDescription, "Simulated counter (Connection string: DemoData)");

  TConnectionForm file;
  file.Kind = TConnectionKind::File;
  file.FilePath = "/tmp/replay.txt";
  dialog.SetForm(file);
  EXPECT_FALSE(channels.isEnabled());
  EXPECT_EQ(dialog.Choice().ChannelCount, -1);

  // A title set after the dialog is built still fits.
  dialog.setWindowTitle(QStringLiteral("Connection of session A, a very long title for the title bar"));
  EXPECT_GT(dialog.minimumWidth(), QFontMetrics(dialog.font()).horizontalAdvance(dialog.windowTitle()));
}

}  // namespace

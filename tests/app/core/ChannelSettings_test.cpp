#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "app/core/Main.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

class TQuietFrontEnd : public TZepFrontEnd {
 public:
  std::optional<TConnectionChoice> ChooseConnection(int, const TConnectionChoice&) override { return std::nullopt; }
  void ShowMessage(const std::string&) override {}
};

bool Has(const std::string& text, const std::string& line) { return text.find(line + "\r\n") != std::string::npos; }

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::string SignalNames(const std::string& stem) {
  std::string text;
  for (int j = 0; j < kPDIBits; ++j) text += stem + std::to_string(j) + ", ";
  return text;
}

// The stored factor rows, descriptions, horizontal scale and signal names
// reach the session; what the channel-settings window sets is saved in their
// place, once, and rows no longer used leave the file.
TEST(ChannelSettings, StoredKeysAreAppliedAndChangesSaved) {
  TTempFolder folder;
  std::ofstream(folder.File("ZEP_App.ini")) << "INI_Version=6\n"
                                               "SessionCount=1\n"
                                               "Session_0_SessionType=0\n"
                                               "Session_0_OpenString=DemoData\n"
                                               "Session_0_ConnectionType=6\n"
                                               "Session_0_V_1_Factors=1;-1;\n"
                                               "Session_0_V_2_Factors=0;0.5;0.5;\n"
                                               "Session_0_V_Description=Differences\n"
                                               "Session_0_VQMT_1_Factors=0;1;\n"
                                               "Session_0_HorizontalScale=4;x\n"
                                            << "Session_0_PDI2_SigNames=" << SignalNames("In") << "\n";
  TQuietFrontEnd frontEnd;
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  options.SaveChangesEvery = std::chrono::milliseconds(0);
  TChannelSettings settings;
  {
    TZepApp app(options, frontEnd);
    ASSERT_TRUE(app.Start());
    const auto session = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0));
    ASSERT_TRUE(session);
    settings = session->ChannelSettings();
    EXPECT_EQ(settings.Virtual[0][0], 1.0);
    EXPECT_EQ(settings.Virtual[0][1], -1.0);
    EXPECT_EQ(settings.Virtual[1][2], 0.5);
    EXPECT_EQ(settings.VirtualQMT[0][1], 1.0);
    EXPECT_EQ(settings.VirtualDescription, "Differences");
    EXPECT_EQ(settings.ShortScale, 4);
    EXPECT_EQ(settings.LongScale, 1);  // "x" is no scale
    EXPECT_EQ(session->PAV().GetScaleFactor(THorizontalScale::hsShort), 4);
    EXPECT_EQ(session->PAV().GetVirtualChannelCount(), 2);
    EXPECT_EQ(session->PDISignalName(2, 31), "In31");

    settings.Virtual[1] = {};
    settings.Virtual[0][2] = 0.25;
    settings.VirtualQMT = {};
    settings.VirtualDescription = "A1 - A2";
    settings.ShortScale = 2;
    settings.LongScale = 3;
    settings.PDINames[1][0] = "Door";
    session->SetChannelSettings(settings);
    EXPECT_EQ(session->PDISignalName(2, 0), "Door");
    app.DisplayTick();  // saved during the run
    EXPECT_TRUE(Has(ReadFile(folder.File("ZEP_App.ini")), "Session_0_PDI2_SigNames=Door, " + SignalNames("In").substr(5)));
    EXPECT_EQ(session->PAV().GetVirtualChannelCount(), 1);
    EXPECT_EQ(session->QMT().GetVirtualChannelCount(), 0);
    EXPECT_EQ(session->PAV().GetScaleFactor(THorizontalScale::hsLong), 3);
    app.Shutdown();
  }

  const std::string saved = ReadFile(folder.File("ZEP_App.ini"));
  EXPECT_TRUE(Has(saved, "Session_0_V_1_Factors=1;-1;0.25;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;")) << saved;
  EXPECT_EQ(saved.find("Session_0_V_2_Factors"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("Session_0_VQMT_1_Factors"), std::string::npos) << saved;
  EXPECT_TRUE(Has(saved, "Session_0_V_Description=A1 - A2")) << saved;
  EXPECT_TRUE(Has(saved, "Session_0_HorizontalScale=2;3")) << saved;
  EXPECT_EQ(Count(saved, "Session_0_PDI2_SigNames="), 1) << saved;
  EXPECT_TRUE(Has(saved, "Session_0_PDI2_SigNames=Door, " + SignalNames("In").substr(5))) << saved;

  // And read back as saved.
  TZepApp again(options, frontEnd);
  ASSERT_TRUE(again.Start());
  const auto reread = std::dynamic_pointer_cast<TVQSessionItem>(again.Session(0));
  ASSERT_TRUE(reread);
  const TChannelSettings back = reread->ChannelSettings();
  EXPECT_EQ(back.Virtual, settings.Virtual);
  EXPECT_EQ(back.VirtualQMT, settings.VirtualQMT);
  EXPECT_EQ(back.VirtualDescription, "A1 - A2");
  EXPECT_EQ(back.ShortScale, 2);
  EXPECT_EQ(back.LongScale, 3);
  EXPECT_EQ(back.PDINames, settings.PDINames);
  again.Shutdown();
}

}  // namespace

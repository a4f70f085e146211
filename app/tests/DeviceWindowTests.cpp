// The certificate window over the real device manager: tokens of the device layer's test
// libraries holding certificates of the test PKI, validity statuses from the certificate
// object's own period check.
#include <gtest/gtest.h>
#include <json/json.h>

#include <QComboBox>
#include <QPushButton>
#include <QTableWidget>

#include <set>

#include "app/ORVADeviceCertSource.h"
#include "app/ORVAShowCertDlg.h"
#include "app/tests/QtTestSupport.h"
#include "devices/core/DeviceManager.h"
#include "devices/core/tests/TestDevices.h"
#include "foundation/ORVAResource.h"
#include "foundation/ORVAScriptedUI.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "testing/TestEnv.h"

using devtest::TestLibrary;

TEST(DeviceWindow, TokensCertificatesAndStatusesFromTheDeviceManager) {
  orva::testing::TestApp();
  CORVAResource::Instance().ReleaseResourceModule();
  auto rec = std::make_shared<CORVAScriptedUI>();
  SetOrvaUserInterface(rec);
  TestLibrary::RegisterFactories();
  auto lib = TestLibrary::Add("/test/skf.so", SDK_SKF,
                              {{"K1", 0, "SN0001", "OrvaDesk Demo", true, true,
                                {"sm2-sign", "sm2-expired", "sm2-notyet"}},
                               {"K2", 0, "SN0002", "Second", true, true, {}}});
  Json::Value root(Json::objectValue);
  Json::Value kit(Json::objectValue);
  kit["SDKName"] = "Soft";
  kit["Manufacturer"] = "Test Maker";
  kit["DefaultSdkType"] = SDK_SKF;
  kit["CSPName"] = "Test CSP";
  kit["SKFImage"] = "/test/skf.so";
  root[kOrvaSettingsKey]["LanguageID"] = 2052;
  root[std::string(kOrvaSettingsKey) + "\\Kit"] = kit;
  ASSERT_TRUE(orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
                                       Json::writeString(Json::StreamWriterBuilder(), root)));
  CDeviceManager* m = CDeviceManager::GetInstance();
  ASSERT_EQ(m->EnumDevices(kOrvaSettingsKey, 1), ORVA_OK);
  ASSERT_TRUE(m->WaitForLoad(10000));
  ASSERT_EQ(m->GetDeviceCount(), 2u);

  {
    CORVAShowCertDlg win(std::make_shared<CORVADeviceCertSource>(m));
    auto* combo = win.findChild<QComboBox*>("1002");
    auto* list = win.findChild<QTableWidget*>("1031");
    ASSERT_EQ(combo->count(), 2);
    std::set<std::string> names = {combo->itemText(0).toStdString(), combo->itemText(1).toStdString()};
    EXPECT_EQ(names, (std::set<std::string>{"OrvaDesk Demo(SN0001)", "Second(SN0002)"}));
    if (combo->itemText(0).toStdString() != "OrvaDesk Demo(SN0001)") {
      combo->setCurrentIndex(1);
      emit combo->activated(1);
    }
    ASSERT_EQ(list->rowCount(), 3);
    ASSERT_TRUE(orva::testing::WaitFor([&] {
      for (int r = 0; r < 3; ++r)
        if (list->item(r, 5)->text() == "正在检查......") return false;
      return true;
    }));
    std::multiset<std::string> statuses, usages;
    for (int r = 0; r < 3; ++r) {
      statuses.insert(list->item(r, 5)->text().toStdString());
      usages.insert(list->item(r, 0)->text().toStdString());
      EXPECT_FALSE(list->item(r, 1)->text().isEmpty());
      EXPECT_EQ(list->item(r, 3)->text().size(), 10);
    }
    EXPECT_EQ(statuses, (std::multiset<std::string>{"有效", "已失效", "未生效"}));

    // The PIN change reaches the token through the device; detect enumerates again.
    rec->PushAnswer(R"({"dialog":"pin_change","button":"ok","old":"demo1234","new":"abcd1234"})");
    win.findChild<QPushButton*>("1004")->click();
    auto reqs = rec->Requests();
    ASSERT_FALSE(reqs.empty());
    EXPECT_EQ(reqs.back().strDialog, "message");
    EXPECT_EQ(reqs.back().ulTextId, IDS_CHANGE_PIN_OK);
    int loads = lib->loads.load();
    win.findChild<QPushButton*>("1010")->click();
    EXPECT_TRUE(win.findChild<QPushButton*>("1010")->isEnabled());
    EXPECT_GE(lib->loads.load(), loads);
    EXPECT_TRUE(win.WaitStatusThread(5000));
  }
  CDeviceManager::ReleaseInstance();
  TestLibrary::ClearAll();
  SetOrvaUserInterface(nullptr);
}

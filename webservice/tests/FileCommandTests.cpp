// File, folder, option and random-test commands in-process: the access rule's path
// resolution and grants, the protected folders, folder deletion, the random test's output
// forms over a device whose bytes are known, and the commands' limits and mends.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "devices/core/Device.h"
#include "devices/core/DeviceManager.h"
#include "foundation/ORVAScriptedUI.h"
#include "foundation/RegOptions.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "platform/Paths.h"
#include "testing/TestEnv.h"
#include "webservice/ORVADeviceHelper.h"
#include "webservice/ORVAFileAccess.h"
#include "webservice/ORVAFileOps.h"
#include "webservice/ORVAHttpHandler.h"

using orva::testing::MakeTempDir;
using orva::testing::ReadFile;
using orva::testing::WriteFile;

namespace {

constexpr uint32_t kBad = ORVA_E_INVALID_CALL;  // refused by the access rule

std::string Real(const std::string& p) {
  char buf[PATH_MAX];
  return ::realpath(p.c_str(), buf) ? std::string(buf) : p;
}

bool Exists(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

// A tree with a granted side and an outside side, and links between them:
//   in/a.txt  in/sub/  in/link-out -> out  in/link-secret -> out/secret.txt
//   in/dangling -> nowhere/x  in/loop -> in/loop  out/secret.txt  in2/x
struct Tree {
  std::string d, in, out;
  Tree() {
    d = Real(MakeTempDir("tree"));
    in = d + "/in";
    out = d + "/out";
    WriteFile(in + "/a.txt", "a");
    WriteFile(in + "/sub/b.txt", "b");
    WriteFile(out + "/secret.txt", "secret");
    WriteFile(d + "/in2/x", "x");
    EXPECT_EQ(::symlink(out.c_str(), (in + "/link-out").c_str()), 0);
    EXPECT_EQ(::symlink((out + "/secret.txt").c_str(), (in + "/link-secret").c_str()), 0);
    EXPECT_EQ(::symlink((d + "/nowhere/x").c_str(), (in + "/dangling").c_str()), 0);
    EXPECT_EQ(::symlink((in + "/loop").c_str(), (in + "/loop").c_str()), 0);
  }
};

// A device view whose random bytes are known: byte i is i * 37 + 1.
class CPatternView : public CDeviceFake {
 public:
  CPatternView() : CDeviceFake(nullptr, "pattern", 0) {}
  uint32_t genResult = ORVA_OK;
  int genCalls = 0;

  uint32_t GenRandom(uint8_t* p, uint32_t n) override {
    ++genCalls;
    if (genResult != ORVA_OK) return genResult;
    for (uint32_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 37 + 1);
    return ORVA_OK;
  }
  uint32_t GetDevType() const override { return SDK_SKF; }
  uint32_t Connect() override { return ORVA_OK; }
  uint32_t Disconnect() override { return ORVA_OK; }
#define ORVA_UNUSED_OP(sig) \
  uint32_t sig override { return ORVA_E_NOT_SUPPORTED; }
  ORVA_UNUSED_OP(GetDevStatus(uint32_t*))
  ORVA_UNUSED_OP(IsDefaultPIN(bool*))
  ORVA_UNUSED_OP(Initiliaze(const char*, const char*, const char*, const char*, uint32_t, const char*))
  ORVA_UNUSED_OP(GetSN(char*, uint32_t*))
  ORVA_UNUSED_OP(GetLabel(char*, uint32_t*))
  ORVA_UNUSED_OP(SetLabel(const char*))
  ORVA_UNUSED_OP(GetManufacturer(char*, uint32_t*))
  ORVA_UNUSED_OP(VerifyPIN(uint32_t, const char*, uint32_t*))
  ORVA_UNUSED_OP(ChangePIN(uint32_t, const char*, const char*, uint32_t*))
  ORVA_UNUSED_OP(UnLockPIN(const char*, const char*, uint32_t*))
  ORVA_UNUSED_OP(OpenSession(uint32_t, uint32_t, SessionPtr&))
  ORVA_UNUSED_OP(CloseSession(CSession*))
  ORVA_UNUSED_OP(GenCertRequest(bool, uint32_t, uint32_t, const char*, uint8_t*, uint32_t*))
  ORVA_UNUSED_OP(ImportKeyPair(uint32_t, const uint8_t*, uint32_t))
  ORVA_UNUSED_OP(ImportCert(uint32_t, bool, const uint8_t*, uint32_t))
  ORVA_UNUSED_OP(ImportPfx12(const uint8_t*, uint32_t, const char*))
  ORVA_UNUSED_OP(DecryptLra(const uint8_t*, uint32_t, uint8_t*, uint32_t*))
  ORVA_UNUSED_OP(GetCertCount(uint32_t*, bool))
  ORVA_UNUSED_OP(GetEnvelopType(uint32_t, uint32_t*, uint32_t*))
  ORVA_UNUSED_OP(ImportDualCertAndKeyPair(uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t,
                                          const uint8_t*, uint32_t, const char*))
  ORVA_UNUSED_OP(ImportDualCert(uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t))
  ORVA_UNUSED_OP(DeleteContainer(const char*, bool))
#undef ORVA_UNUSED_OP
};

// The scripted interface, keeping the last file-dialog request as the handler made it.
class CRecordingUI : public CORVAScriptedUI {
 public:
  ORVA_FILE_DIALOG lastFileDialog;
  int fileDialogs = 0;
  bool ChooseFile(ORVA_FILE_DIALOG& req, std::string& strPath) override {
    lastFileDialog = req;
    ++fileDialogs;
    return CORVAScriptedUI::ChooseFile(req, strPath);
  }
};

// One command through the dispatcher; the parsed reply.
Json::Value Send(CORVAHttpHandler& h, const Json::Value& req) {
  std::string reply;
  h.ProcessHttpMsg(reply, CORVAHttpHandler::WriteCompact(req));
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errs;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(reply.data(), reply.data() + reply.size(), &v, &errs)) << reply;
  return v;
}

Json::Value Cmd(const char* type, std::initializer_list<std::pair<const char*, Json::Value>> members) {
  Json::Value v(Json::objectValue);
  v["msgType"] = type;
  for (const auto& m : members) v[m.first] = m.second;
  return v;
}

uint32_t Res(const Json::Value& reply) { return static_cast<uint32_t>(reply["res"].asInt()); }

class FileCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ui = std::make_shared<CRecordingUI>();
    old = SetOrvaUserInterface(ui);
    CORVAFileAccess::Instance().ResetRunGrants();
  }
  void TearDown() override {
    SetOrvaUserInterface(old);
    CORVAFileAccess::Instance().ResetRunGrants();
  }
  std::shared_ptr<CRecordingUI> ui;
  OrvaUserInterfacePtr old;
  CORVAHttpHandler handler{nullptr, nullptr};
};

}  // namespace

TEST(FileAccess, PathsResolveThroughLinksAndDotDotOrAreRefused) {
  Tree t;
  using U = OrvaPathUse;
  struct Row {
    std::string path;
    U use;
    const char* want;  // nullptr: refused
  } rows[] = {
      {t.in + "/a.txt", U::kTarget, "/in/a.txt"},
      {t.d + "//in///a.txt", U::kTarget, "/in/a.txt"},
      {t.in + "/../out/secret.txt", U::kTarget, "/out/secret.txt"},
      {t.in + "/link-out/secret.txt", U::kTarget, "/out/secret.txt"},
      {t.in + "/link-secret", U::kTarget, "/out/secret.txt"},
      {t.in + "/link-secret", U::kEntry, "/in/link-secret"},
      {t.in + "/link-out/../in/a.txt", U::kTarget, "/in/a.txt"},  // ".." after a link: physical
      {t.in + "/new.txt", U::kTarget, "/in/new.txt"},              // missing: its folder resolved
      {t.in + "/link-out/new.txt", U::kTarget, "/out/new.txt"},
      {t.in + "/x/y/z", U::kTarget, "/in/x/y/z"},                  // several missing names
      {t.in + "/x/../../out", U::kTarget, nullptr},                // ".." after a missing name
      {t.in + "/x/./y", U::kTarget, nullptr},
      {t.in + "/dangling", U::kTarget, nullptr},                   // would create outside
      {t.in + "/dangling", U::kEntry, "/in/dangling"},             // the link itself
      {t.in + "/dangling/f", U::kTarget, nullptr},
      {t.in + "/loop", U::kTarget, nullptr},
      {t.in + "/a.txt/x", U::kTarget, nullptr},                    // a file used as a folder
      {t.in + "/sub/.", U::kEntry, "/in/sub"},
      {t.in + "/sub/..", U::kDelete, "/in"},
      {"", U::kTarget, nullptr},
      {t.in + std::string("/a\0b", 4), U::kTarget, nullptr},
      {t.in + "/" + std::string(PATH_MAX, 'n'), U::kTarget, nullptr},
  };
  for (const auto& r : rows) {
    std::string out;
    bool ok = CORVAFileAccess::ResolvePath(r.path, r.use, out);
    EXPECT_EQ(ok, r.want != nullptr) << r.path << " -> " << out;
    if (ok && r.want) {
      EXPECT_EQ(out, t.d + r.want) << r.path;
    }
  }
}

TEST(FileAccess, GrantsCoverWhatTheUserChoseForThatOriginOnly) {
  Tree t;
  WriteFile(t.d + "/file.txt", "f");
  WriteFile(t.d + "/roots/r.txt", "r");
  WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
            "{\"SOFTWARE\\\\ORVA\\\\OrvaDesk\":{\"FileAccessRoots\":\" " + t.d +
                "/roots ;/nonexistent;relative;\"}}");
  CORVAFileAccess& access = CORVAFileAccess::Instance();
  access.ResetRunGrants();
  const std::string a = "https://a.example", b = "https://b.example";
  access.GrantChosen("https://A.example", t.in, true);  // origins compare lower-cased
  access.GrantChosen(a, t.d + "/file.txt", false);
  access.GrantChosen(a, t.in + "/dangling", false);       // cannot be resolved: grants nothing

  using U = OrvaPathUse;
  struct Row {
    std::optional<std::string> origin;
    std::string path;
    U use;
    uint32_t want;
  } rows[] = {
      {std::nullopt, "/etc/passwd", U::kTarget, 0},  // local programs are not checked
      {a, t.in + "/a.txt", U::kTarget, 0},
      {a, t.in + "/sub/new/deeper", U::kTarget, 0},
      {a, t.in, U::kTarget, 0},
      {a, t.in, U::kDelete, kBad},                  // the chosen folder itself stays
      {a, t.in + "/sub", U::kDelete, 0},
      {a, t.in + "/sub/..", U::kDelete, kBad},
      {a, t.out + "/secret.txt", U::kTarget, kBad},
      {a, t.in + "/../out/secret.txt", U::kTarget, kBad},
      {a, t.in + "/link-out/secret.txt", U::kTarget, kBad},
      {a, t.in + "/link-secret", U::kTarget, kBad},
      {a, t.in + "/link-secret", U::kDelete, 0},    // removing the link leaves the target
      {a, t.in + "/dangling", U::kTarget, kBad},
      {a, t.d + "/in2/x", U::kTarget, kBad},        // a name that only starts like the grant
      {a, t.d + "/file.txt", U::kTarget, 0},
      {a, t.d + "/file.txt", U::kDelete, 0},
      {a, t.d + "/file.txt/x", U::kTarget, kBad},
      {a, t.d + "/file2.txt", U::kTarget, kBad},
      {a, t.d, U::kTarget, kBad},
      {b, t.in + "/a.txt", U::kTarget, kBad},       // another origin inherits nothing
      {b, t.d + "/file.txt", U::kTarget, kBad},
      {b, t.d + "/roots/r.txt", U::kTarget, 0},     // FileAccessRoots serve every origin
      {b, t.d + "/roots/new/x", U::kTarget, 0},
      {b, t.d + "/roots", U::kDelete, kBad},
      {std::string(), t.d + "/roots/r.txt", U::kTarget, kBad},
      {a, "", U::kTarget, kBad},
  };
  for (const auto& r : rows) {
    std::string use;
    EXPECT_EQ(access.CheckPath(r.origin, r.path, r.use, use), r.want)
        << (r.origin ? *r.origin : "(local)") << " " << r.path;
    if (r.want == 0 && !r.origin) {
      EXPECT_EQ(use, r.path);
    }
  }
  std::string use;
  ASSERT_EQ(access.CheckPath(a, t.in + "/link-out/../in/a.txt", U::kTarget, use), 0u);
  EXPECT_EQ(use, t.in + "/a.txt");  // the command works on the resolved path
  access.ResetRunGrants();
  EXPECT_EQ(access.CheckPath(a, t.in + "/a.txt", U::kTarget, use), kBad);
  WriteFile(CSettingsStore::FilePath(SettingsScope::Machine), "{}");
}

TEST(FileAccess, ProtectedFoldersAreTheRootTopLevelFoldersAndHome) {
  std::string home = Real(orva::platform::HomeDir());
  std::string d = Real(MakeTempDir("prot"));
  struct Row {
    std::string path;
    bool protectedFolder;
  } rows[] = {
      {"/", true},
      {"/usr", true},
      {"/etc", true},
      {"/home", true},
      {"/tmp", true},
      {"/usr/share", false},
      {home, true},
      {orva::platform::ParentPath(home), true},  // deleting it would delete home
      {home + "/Documents", false},
      {d, false},
  };
  for (const auto& r : rows)
    EXPECT_EQ(CORVAFileAccess::IsProtectedFolder(r.path), r.protectedFolder) << r.path;
}

TEST(FileAccess, DeleteDirectoryRemovesTheTreeButNotWhatItsLinksPointTo) {
  Tree t;
  const std::string del = t.d + "/del";
  WriteFile(del + "/a", "a");
  WriteFile(del + "/b/c", "c");
  ASSERT_EQ(::symlink(t.out.c_str(), (del + "/b/to-out").c_str()), 0);
  EXPECT_EQ(DeleteDirectory(del, true), 0u);
  EXPECT_FALSE(Exists(del));
  EXPECT_EQ(ReadFile(t.out + "/secret.txt"), "secret");

  // A link named as the folder: the link goes, its target stays.
  ASSERT_EQ(::symlink(t.out.c_str(), (t.d + "/link").c_str()), 0);
  EXPECT_EQ(DeleteDirectory(t.d + "/link", true), 0u);
  EXPECT_FALSE(Exists(t.d + "/link"));
  EXPECT_TRUE(Exists(t.out + "/secret.txt"));

  EXPECT_EQ(ConvertLastError(DeleteDirectory(t.d + "/missing", true)), ORVA_E_CALL_FAILED);  // 2
  EXPECT_EQ(ConvertLastError(DeleteDirectory(t.d + "/no/where", true)), ORVA_E_PATH_NOT_FOUND);
  EXPECT_EQ(DeleteDirectory("", true), ORVA_E_INVALID_PARAM);
  const std::string home = orva::platform::HomeDir();
  EXPECT_EQ(DeleteDirectory(home, true), 5u);
  EXPECT_EQ(DeleteDirectory(home + "/.", true), 5u);
  EXPECT_TRUE(Exists(home));

  // Not permanently: into the user's trash, with its record; a second one of the same name
  // gets a new name.
  const std::string trash = orva::platform::XdgDataHome() + "/Trash";
  for (const char* name : {"t", "t.2"}) {
    WriteFile(t.d + "/t/x", "x");
    EXPECT_EQ(DeleteDirectory(t.d + "/t", false), 0u);
    EXPECT_FALSE(Exists(t.d + "/t"));
    EXPECT_EQ(ReadFile(trash + "/files/" + name + "/x"), "x");
    std::string info = ReadFile(trash + "/info/" + name + ".trashinfo");
    EXPECT_EQ(info.rfind("[Trash Info]\nPath=" + t.d + "/t\nDeletionDate=", 0), 0u) << info;
  }
}

TEST(TestRandrom, OutputFormsOverKnownBytes) {
  auto view = std::make_shared<CPatternView>();
  DevicePtr dev = CDevice::Create(nullptr, view, SDK_SKF);
  const std::string d = MakeTempDir("rand"), file = d + "/out.txt";
  auto hex = [](int n) {
    std::string s;
    char b[3];
    for (int i = 0; i < n; ++i) {
      std::snprintf(b, sizeof b, "%02X", static_cast<uint8_t>(i * 37 + 1));
      s += b;
    }
    return s;
  };
  auto lines = [](const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i += 64) out += (i ? "\r\n" : "") + s.substr(i, 64);
    return out;
  };
  std::string h40 = hex(40);
  struct Row {
    int32_t size;
    uint32_t format;
    std::string want;
  } rows[] = {
      {2, 0, std::string("\x01\x26", 2)},
      {2, 1, "0000000100100110"},  // most significant bit first
      {2, 2, "0126"},
      {2, 3, "ASY="},
      {16, 2, hex(16)},                                 // one line of 32
      {40, 2, h40.substr(0, 64) + "\r\n" + h40.substr(64)},  // 64, CRLF, 16
      {8, 1, std::string("00000001001001100100101101110000100101011011101011011111") + "00000100"},
      {9, 1, ""},                                       // 64, CRLF, 8: checked below
      {ORVA_RANDOM_MAX_SIZE, 2, lines(hex(ORVA_RANDOM_MAX_SIZE))},
      {1, 3, "AQ=="},
  };
  for (const auto& r : rows) {
    WriteFile(file, std::string(30000, 'z'));  // an existing file is truncated first
    ASSERT_EQ(CORVADeviceHelper::TestRandrom(dev.get(), r.size, r.format, file), 0u) << r.size;
    std::string got = ReadFile(file);
    if (r.size == 9) {
      ASSERT_EQ(got.size(), 74u);
      EXPECT_EQ(got.substr(64, 2), "\r\n");
      EXPECT_EQ(got.substr(66), "00101001");  // byte 8: (8 * 37 + 1) & 0xFF = 0x29
      continue;
    }
    EXPECT_EQ(got, r.want) << r.size << "/" << r.format;
  }
  // Base64 of the largest draw is one line.
  ASSERT_EQ(CORVADeviceHelper::TestRandrom(dev.get(), ORVA_RANDOM_MAX_SIZE, 3, file), 0u);
  std::string b64 = ReadFile(file);
  EXPECT_EQ(b64.size(), 13656u);
  EXPECT_EQ(b64.find('\n'), std::string::npos);

  // Refusals: the size before the token is asked, the form after it.
  struct Bad {
    CDevice* device;
    int32_t size;
    uint32_t format;
    std::string file;
    uint32_t want;
    int genCalls;
  } bad[] = {
      {dev.get(), 0, 2, d + "/b1", ORVA_E_INVALID_CALL, 0},
      {dev.get(), ORVA_RANDOM_MAX_SIZE + 1, 2, d + "/b2", ORVA_E_INVALID_CALL, 0},
      {dev.get(), -16, 2, d + "/b3", ORVA_E_INVALID_CALL, 0},
      {nullptr, 16, 2, d + "/b4", ORVA_E_INVALID_CALL, 0},
      {dev.get(), 16, 2, "", ORVA_E_INVALID_CALL, 0},
      {dev.get(), 16, 4, d + "/b5", ORVA_E_INVALID_PARAM, 1},
      {dev.get(), 16, 0xFFFFFFFF, d + "/b6", ORVA_E_INVALID_PARAM, 1},
      {dev.get(), 16, 2, d + "/no/dir/b7", ORVA_E_CREATE_FILE, 1},
  };
  for (const auto& r : bad) {
    view->genCalls = 0;
    EXPECT_EQ(CORVADeviceHelper::TestRandrom(r.device, r.size, r.format, r.file), r.want) << r.file;
    EXPECT_EQ(view->genCalls, r.genCalls) << r.file;
    if (!r.file.empty()) {
      EXPECT_FALSE(Exists(r.file)) << r.file;
    }
  }
  // The token's failure is the answer, and no file is made.
  view->genResult = ORVA_E_GEN_RANDOM;
  EXPECT_EQ(CORVADeviceHelper::TestRandrom(dev.get(), 16, 2, d + "/b8"), ORVA_E_GEN_RANDOM);
  EXPECT_FALSE(Exists(d + "/b8"));
}

TEST_F(FileCommands, OptionsAnswerTheirOwnCodes) {
  struct Row {
    Json::Value req;
    uint32_t res;
    const char* val;  // expected "val" as written, nullptr when absent
  } rows[] = {
      {Cmd("get_useroption", {{"type", 4}}), ORVA_E_CALL_FAILED, nullptr},
      {Cmd("set_useroption", {{"type", 4}, {"value", 1}}), ORVA_E_CALL_FAILED, nullptr},
      {Cmd("get_useroption", {{"type", 3}}), 0, "0"},
      {Cmd("set_useroption", {{"type", 3}, {"value", -1}}), 0, nullptr},
      {Cmd("get_useroption", {{"type", 3}}), 0, "-1"},
      {Cmd("get_useroption", {{"type", "3"}}), ORVA_E_INVALID_PARAM, nullptr},
  };
  for (const auto& r : rows) {
    Json::Value v = Send(handler, r.req);
    EXPECT_EQ(Res(v), r.res) << r.req.toStyledString();
    EXPECT_EQ(v.isMember("val"), r.val != nullptr);
    if (r.val) {
      EXPECT_EQ(v["val"].asString(), r.val);
    }
  }
}

TEST_F(FileCommands, FileDialogGetsThePagesFilterWithinItsBufferAndChosenPathsAreNeverCut) {
  const std::string d = Real(MakeTempDir("dlg"));
  Json::Value v = Send(handler, Cmd("get_filename", {{"caption", "Pick"}}));
  EXPECT_EQ(Res(v), 0u);
  EXPECT_EQ(v["file"].asString(), "");  // cancelled
  EXPECT_EQ(v["respType"].asString(), "get_filename_resp");
  EXPECT_EQ(ui->lastFileDialog.strTitle, "Pick");
  EXPECT_EQ(ui->lastFileDialog.strFilter, "All files(*.*)|*.*");
  EXPECT_EQ(ui->lastFileDialog.ulFilterIndex, 2u);
  EXPECT_FALSE(ui->lastFileDialog.bSave);

  std::string filter = "Text(*.txt)|*.txt|";
  filter += std::string(255 - filter.size(), 'x');
  ui->PushAnswer("{\"dialog\":\"file\",\"button\":\"ok\",\"path\":\"" + d + "/a.txt\"}");
  v = Send(handler, Cmd("get_filename", {{"filter", filter}}));
  EXPECT_EQ(v["file"].asString(), d + "/a.txt");
  EXPECT_EQ(ui->lastFileDialog.strFilter, filter);
  int shown = ui->fileDialogs;
  v = Send(handler, Cmd("get_filename", {{"filter", filter + "x"}}));  // 256 bytes
  EXPECT_EQ(Res(v), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(ui->fileDialogs, shown);  // no dialog

  // The path buffer holds 259 characters (not bytes).
  std::string fits = d + "/" + std::string(80, 'a') + "/" + std::string(80, 'b') + "/";
  fits += std::string(259 - fits.size(), 'c');
  std::string cjk = "/";
  for (int i = 0; i < 258; ++i) cjk += "中";
  struct Row {
    const char* dialog;
    std::string path;
    bool kept;
  } rows[] = {
      {"file", fits, true},
      {"file", fits + "c", false},
      {"folder", fits, true},
      {"folder", fits + "c", false},
      {"folder", cjk, true},
      {"folder", cjk + "中", false},
  };
  for (const auto& r : rows) {
    Json::Value ans;
    ans["dialog"] = r.dialog;
    ans["button"] = "ok";
    ans["path"] = r.path;
    ui->PushAnswer(CORVAHttpHandler::WriteCompact(ans));
    bool file = std::string(r.dialog) == "file";
    v = Send(handler, Cmd(file ? "get_filename" : "get_pathname", {}));
    EXPECT_EQ(Res(v), 0u);
    EXPECT_EQ(v[file ? "file" : "path"].asString(), r.kept ? r.path : "") << r.path.size();
    if (!file) {
      EXPECT_EQ(v["respType"].asString(), "get_pathname");
    }
  }
}

TEST_F(FileCommands, FolderCommandsKeepTheirLimitsAndMends) {
  const std::string d = Real(MakeTempDir("fold"));
  // A path of exactly `n` characters below d, made of CJK names (3 bytes each) that fit
  // the file system's 255-byte names.
  auto pathOf = [&](size_t n) {
    std::string p = d;
    size_t chars = d.size();
    while (chars + 1 < n) {
      size_t k = std::min<size_t>(60, n - chars - 1);
      p += "/";
      for (size_t i = 0; i < k; ++i) p += "中";
      chars += 1 + k;
    }
    if (chars < n) {
      p += "/";  // ends in a separator
      ++chars;
    }
    return p;
  };
  struct Row {
    const char* cmd;
    std::string path;
    uint32_t res;
  } rows[] = {
      {"create_folder", "/ab", ORVA_E_INVALID_PARAM},
      {"create_folder", pathOf(258), 0},
      {"create_folder", pathOf(259), ORVA_E_INVALID_PARAM},  // no room for the separator
      {"open_folder", pathOf(258), 0},
      {"open_folder", "/tm", ORVA_E_INVALID_PARAM},
      {"open_folder", pathOf(260), ORVA_E_INVALID_PARAM},
      {"delete_folder", "/", ORVA_E_INVALID_PARAM},
      {"delete_folder", pathOf(260), ORVA_E_INVALID_PARAM},
      {"delete_folder", pathOf(258), 0},
      {"create_folder", d + std::string("/a\0b", 4), ORVA_E_INVALID_PARAM},
      {"read_file", d + std::string("/a\0b", 4), ORVA_E_INVALID_PARAM},
  };
  // pathOf(258) is created, opened, then deleted: each row in turn.
  for (const auto& r : rows) {
    Json::Value v = Send(handler, Cmd(r.cmd, {{r.cmd[0] == 'r' ? "file" : "path", r.path}}));
    EXPECT_EQ(Res(v), r.res) << r.cmd << " " << r.path.size();
  }
  EXPECT_FALSE(Exists(pathOf(258)));
  EXPECT_TRUE(Exists(d));

  // "\" is a separator: nested folders, no name with a backslash in it.
  EXPECT_EQ(Res(Send(handler, Cmd("create_folder", {{"path", d + "\\x\\y"}}))), 0u);
  struct stat st {};
  ASSERT_EQ(::stat((d + "/x/y").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(Res(Send(handler, Cmd("create_folder", {{"path", d + "/x/y"}}))), 0u);  // exists
  WriteFile(d + "/file", "f");
  EXPECT_EQ(Res(Send(handler, Cmd("create_folder", {{"path", d + "/file/z"}}))), ORVA_E_PATH_NOT_FOUND);

  // "open_folder" opens folders only; files and programs are refused before the desktop.
  ui->ClearRequests();
  EXPECT_EQ(Res(Send(handler, Cmd("open_folder", {{"path", d + "/file"}}))), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(Res(Send(handler, Cmd("open_folder", {{"path", "/bin/sh"}}))), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(Res(Send(handler, Cmd("open_folder", {{"path", d + "/missing"}}))), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(Res(Send(handler, Cmd("open_folder", {{"path", d + "/x"}}))), 0u);
  auto reqs = ui->Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].strDialog, "open_folder");
  EXPECT_EQ(reqs[0].strPath, d + "/x");

  // "delete_folder" never takes the root, a top-level folder or home, even locally.
  const std::string home = orva::platform::HomeDir();
  ASSERT_EQ(orva::platform::MakeDirs(home + "/sub"), 0);
  for (const std::string& p : {home, home + "/", home + "/sub/..", std::string("/usr"), std::string("/tmp/")})
    EXPECT_EQ(Res(Send(handler, Cmd("delete_folder", {{"path", p}}))), ORVA_E_INVALID_CALL) << p;
  EXPECT_TRUE(Exists(home));
  EXPECT_EQ(Res(Send(handler, Cmd("delete_folder", {{"path", d + "/x"}}))), 0u);
  EXPECT_FALSE(Exists(d + "/x"));
}

TEST_F(FileCommands, FileCommandsRefuseBeforeTouchingAnything) {
  const std::string d = Real(MakeTempDir("files"));
  const std::string f = d + "/keep.txt";
  WriteFile(f, "old content");
  struct Row {
    Json::Value req;
    uint32_t res;
  } rows[] = {
      // Content that is not Base64 leaves the existing file as it was.
      {Cmd("write_file", {{"file", f}, {"content", "!!!!"}, {"isBinary", 1}}), ORVA_E_BASE64},
      {Cmd("write_file", {{"file", f}, {"content", ""}, {"isBinary", 0}}), ORVA_E_INVALID_PARAM},
      {Cmd("write_file", {{"file", ""}, {"content", "x"}, {"isBinary", 0}}), ORVA_E_INVALID_PARAM},
      {Cmd("write_file", {{"file", f}, {"content", "x"}, {"isBinary", "1"}}), ORVA_E_INVALID_PARAM},
      {Cmd("write_file", {{"file", Json::Value(Json::arrayValue)}, {"content", "x"}}), ORVA_E_INVALID_PARAM},
      {Cmd("read_file", {{"file", d}}), ORVA_E_CREATE_FILE},      // a folder
      {Cmd("delete_file", {{"file", d}}), ORVA_E_CALL_FAILED},    // a folder
      {Cmd("delete_file", {{"file", d + "/missing"}}), ORVA_E_FILE_NOT_FOUND},
      {Cmd("delete_file", {{"file", d + "/no/missing"}}), ORVA_E_CALL_FAILED},
      {Cmd("delete_file", {{"file", ""}}), ORVA_E_INVALID_PARAM},
      {Cmd("test_randrom", {{"keyIndex", 0}, {"size", 16}, {"format", 2}, {"file", ""}}), ORVA_E_INVALID_PARAM},
      {Cmd("test_randrom", {{"keyIndex", 0}, {"size", "16"}, {"format", 2}, {"file", d + "/r"}}),
       ORVA_E_INVALID_PARAM},
      // Without a device manager the command cannot run.
      {Cmd("test_randrom", {{"keyIndex", 0}, {"size", 16}, {"format", 2}, {"file", d + "/r"}}), ORVA_E_INVALID_CALL},
  };
  for (const auto& r : rows) EXPECT_EQ(Res(Send(handler, r.req)), r.res) << r.req.toStyledString();
  EXPECT_EQ(ReadFile(f), "old content");
  EXPECT_FALSE(Exists(d + "/r"));

  // A manager without tokens: no device at any index.
  CORVAHttpHandler withManager(CDeviceManager::GetInstance(), nullptr);
  for (int index : {0, 3, -1})
    EXPECT_EQ(Res(Send(withManager, Cmd("test_randrom", {{"keyIndex", index}, {"size", 16}, {"format", 2},
                                                        {"file", d + "/r"}}))),
              ORVA_E_INVALID_PARAM);
  EXPECT_FALSE(Exists(d + "/r"));
  CDeviceManager::ReleaseInstance();
}

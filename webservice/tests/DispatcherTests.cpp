#include <gtest/gtest.h>

#include <set>

#include "foundation/ResultCodes.h"
#include "webservice/ORVAErrorTexts.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

std::string Dispatch(const std::string& body) {
  CORVAHttpHandler h(nullptr, nullptr);
  std::string reply;
  EXPECT_EQ(h.ProcessHttpMsg(reply, body), 0u);
  return reply;
}

}  // namespace

TEST(Dispatcher, ExamplesByteForByte) {
  struct Row {
    std::string body, reply;
  } rows[] = {
      {R"({"msgType":"init"})", "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"init_resp\"}\n"},
      {R"({"msgType":"get_version"})",
       "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"get_version_resp\",\"version\":\"" ORVA_VERSION_TEXT "\"}\n"},
      {R"({"msgType":"GET_VERSION"})", "{\"msg\":\"功能不支持\",\"res\":-2130706427}\n"},
      {R"({})", "{\"msg\":\"功能不支持\",\"res\":-2130706427}\n"},
      {"not json", "{\"msg\":\"输入数据有误\",\"res\":-2130706418}\n"},
      {"", "{\"msg\":\"参数错误\",\"res\":-2130706428}\n"},
      // Its reply type is empty; without a device manager the handler refuses the call.
      {R"({"msgType":"sign_digest"})", "{\"msg\":\"非法调用\",\"res\":-2130706421,\"respType\":\"\"}\n"},
      {R"({"msgType":"read_file"})", "{\"msg\":\"参数错误\",\"res\":-2130706428,\"respType\":\"read_file\"}\n"},
      // The lenient reader accepts comments.
      {"/* c */ {\"msgType\":\"init\"} // t", "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"init_resp\"}\n"},
  };
  for (const auto& r : rows) EXPECT_EQ(Dispatch(r.body), r.reply) << r.body;
}

TEST(Dispatcher, CommandTableIsCompleteAndConsistent) {
  size_t n = 0;
  const ORVA_COMMAND* cmds = OrvaCommandTable(&n);
  ASSERT_EQ(n, 54u);
  std::set<uint32_t> codes;
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(CORVAHttpHandler::MsgTypeToCode(cmds[i].msgType), cmds[i].code);
    EXPECT_EQ(cmds[i].code, 1000 + i);
    EXPECT_EQ(CORVAHttpHandler::CodeToRespType(cmds[i].respCode), cmds[i].respType);
    codes.insert(cmds[i].respCode);
    EXPECT_NE(cmds[i].handler, nullptr);
  }
  EXPECT_EQ(codes.size(), 54u);
  struct Row {
    const char* name;
    uint32_t code, resp;
    const char* respType;
  } rows[] = {{"get_filename", 1026, 2031, "get_filename_resp"},
              {"get_pathname", 1027, 2032, "get_pathname"},
              {"delete_file", 1030, 2035, "delete_file"},
              {"timestamp_attrs", 1034, 2026, "timestamp_attrs_resp"},
              {"change_pin", 1049, 2050, "change_pin_resp"},
              {"verify_pin", 1050, 2049, "verify_pin_resp"},
              {"verify_digest", 1019, 2019, ""},
              {"test_randrom", 1053, 2053, "test_randrom_resp"}};
  for (const auto& r : rows) {
    EXPECT_EQ(CORVAHttpHandler::MsgTypeToCode(r.name), r.code);
    EXPECT_EQ(CORVAHttpHandler::CodeToRespType(r.resp), r.respType);
  }
  EXPECT_EQ(CORVAHttpHandler::CodeToRespType(2054), "device_event_resp");
  EXPECT_EQ(CORVAHttpHandler::MsgTypeToCode(""), 0u);
  EXPECT_EQ(CORVAHttpHandler::MsgTypeToCode("init "), 0u);
  EXPECT_EQ(CORVAHttpHandler::CodeToRespType(2999), "");
}

TEST(Dispatcher, ResultTexts) {
  size_t n = 0;
  const ORVA_ERROR_TEXT* texts = OrvaErrorTexts(&n);
  ASSERT_EQ(n, 145u);
  std::set<uint32_t> codes;
  for (size_t i = 0; i < n; ++i) codes.insert(texts[i].code);
  EXPECT_EQ(codes.size(), 145u);
  struct Row {
    uint32_t code;
    const char* text;
  } rows[] = {{0, "执行成功"},
              {0x81000001, "未知错误"},
              {0x8100001B, "未知错误"},
              {0x83000001, "未知错误"},
              {0x81000002, "未初始化"},
              {0x8100001F, "创建文件失败"},
              {0x81000054, "证书PIN码为缺省值，建议立即修改"},
              {0x81000066, "操作超时"},
              {0x81000083, "该属性为“只读”属性"},
              {0x810000B7, "自定义错误"},
              {0x8100010C, "OpenSSL库验证签名失败"},
              {0x82000007, "验证证书失败"}};
  for (const auto& r : rows) EXPECT_EQ(CORVAHttpHandler::GetErrorText(r.code), r.text) << std::hex << r.code;
  Json::Value v;
  CORVAHttpHandler::SetResult(0x81000001, v);
  EXPECT_EQ(CORVAHttpHandler::WriteCompact(v), "{\"msg\":\"未知错误\",\"res\":-2130706431}\n");
}

TEST(Dispatcher, ParameterReadersFollowTheConversions) {
  Json::Value req;
  Json::Reader().parse(R"({"s":"x","i":5,"neg":-3,"b":true,"f":false,"d":1.5,"n":null,
                           "big":4294967296,"arr":[1],"obj":{},"num":"7"})", req);
  struct TextRow {
    const char* name;
    const char* value;
  } texts[] = {{"s", "x"}, {"i", "5"}, {"b", "true"}, {"f", "false"}, {"n", ""}, {"missing", ""}};
  for (const auto& r : texts) EXPECT_EQ(CORVAHttpHandler::ParamText(req, r.name), r.value) << r.name;
  EXPECT_THROW(CORVAHttpHandler::ParamText(req, "arr"), CORVAParamError);
  EXPECT_THROW(CORVAHttpHandler::ParamText(req, "obj"), CORVAParamError);
  struct IntRow {
    const char* name;
    int32_t value;
  } ints[] = {{"i", 5}, {"neg", -3}, {"b", 1}, {"f", 0}, {"n", 0}, {"missing", 0}, {"d", 1}};
  for (const auto& r : ints) EXPECT_EQ(CORVAHttpHandler::ParamInt(req, r.name), r.value) << r.name;
  for (const char* bad : {"big", "arr", "obj", "num", "s"})
    EXPECT_THROW(CORVAHttpHandler::ParamInt(req, bad), CORVAParamError) << bad;
}

TEST(Dispatcher, HostileBodiesGetErrorReplies) {
  const std::string bad = "{\"msg\":\"输入数据有误\",\"res\":-2130706418}\n";
  const std::string unknown = "{\"msg\":\"功能不支持\",\"res\":-2130706427}\n";
  struct Row {
    std::string body, reply;
  } rows[] = {
      {"[1,2,3]", bad},
      {"42", bad},
      {"\"init\"", bad},
      {"null", bad},
      {R"({"msgType":["init"]})", bad},
      {R"({"msgType":{"a":1}})", bad},
      {R"({"msgType":5})", unknown},
      {R"({"msgType":true})", unknown},
      {R"({"msgType":null})", unknown},
      {std::string("{\"msgType\":\"init\0\"}", 19), unknown},  // a raw NUL stays in the name
      {R"({"msgType":"init\u0000"})", unknown},
      {std::string(5000, '['), bad},  // deeper than the reader's limit
      {"{\"msgType\":\"\xFF\xFE\"}", unknown},  // invalid UTF-8 becomes U+FFFD
      {"{\"msgType\":\"init\",\"msgType\":\"get_version\"}", ""},
  };
  for (const auto& r : rows) {
    std::string reply = Dispatch(r.body);
    if (!r.reply.empty()) {
      EXPECT_EQ(reply, r.reply) << r.body.substr(0, 40);
    }
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply.back(), '\n');
  }
  // A 100 MiB body is answered (here: a long string member, unknown type).
  std::string huge = "{\"msgType\":\"x\",\"pad\":\"" + std::string(100u << 20, 'a') + "\"}";
  EXPECT_EQ(Dispatch(huge), unknown);
}

TEST(Dispatcher, ParameterErrorsKeepTheReplyType) {
  EXPECT_EQ(Dispatch(R"({"msgType":"decode_cert","cert":[1]})"),
            "{\"msg\":\"参数错误\",\"res\":-2130706428,\"respType\":\"decode_cert_resp\"}\n");
}

TEST(Dispatcher, ReplyWriterSortsAndKeepsUtf8) {
  Json::Value v;
  v["b"] = 1;
  v["B"] = 2;
  v["a"] = "中\"\\\n";
  v["arr"].append(Json::Value());
  EXPECT_EQ(CORVAHttpHandler::WriteCompact(v), "{\"B\":2,\"a\":\"中\\\"\\\\\\n\",\"arr\":[null],\"b\":1}\n");
  EXPECT_EQ(CORVAHttpHandler::toUtf8(""), "");
  EXPECT_EQ(CORVAHttpHandler::toUtf8("中"), "中");
}

// Versions, status texts, the two manifests and the per-thread error text.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capi/shared_library.hpp"
#include "kelto_hand.h"

namespace {

TEST(Versions, FixedAnswers) {
  EXPECT_EQ(KX(kx_abi_version_major)(), 2);
  EXPECT_EQ(KX(kx_abi_version_minor)(), 0);
  EXPECT_STREQ(KX(kx_library_version)(), "0.2.1");
  EXPECT_EQ(KX(kx_native_retargeting_available)(), 1);
  EXPECT_EQ(KX(kx_native_calibration_available)(), 1);
}

TEST(StatusMessage, EveryCodeAndOutOfRangeValues) {
  const struct {
    int status;
    const char* text;
  } cases[] = {
      {0, "ok"},
      {1, "invalid argument"},
      {2, "ABI version mismatch"},
      {3, "output buffer too small"},
      {4, "not implemented"},
      {5, "internal error"},
      {6, "unknown status"},
      {-1, "unknown status"},
      {INT_MAX, "unknown status"},
      {INT_MIN, "unknown status"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(KX(kx_status_message)(static_cast<kx_status>(c.status)), c.text) << c.status;
  }
}

// Keys of a mapping in document order.
std::vector<std::string> keys_of(const YAML::Node& node) {
  std::vector<std::string> keys;
  for (const auto& entry : node) keys.push_back(entry.first.as<std::string>());
  return keys;
}

// Compact means no whitespace outside strings.
bool compact_json(const std::string& text) {
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
      return false;
    }
  }
  return !in_string;
}

TEST(Manifests, RetargetingDocument) {
  const std::string text = KX(kx_retargeting_manifest_json)();
  EXPECT_EQ(text.size(), 466u);
  EXPECT_TRUE(compact_json(text));
  const YAML::Node doc = YAML::Load(text);
  EXPECT_EQ(keys_of(doc),
            (std::vector<std::string>{"schema_version", "id", "version", "kind", "supported_sources",
                                      "supported_targets", "requires_calibration"}));
  EXPECT_EQ(doc["schema_version"].as<std::string>(), "1");
  EXPECT_EQ(doc["id"].as<std::string>(), "kelto.hand.glove_to_hand.retargeting");
  EXPECT_EQ(doc["version"].as<std::string>(), "0.2.1");
  EXPECT_EQ(doc["kind"].as<std::string>(), "retargeting");
  const char* sides[] = {"right", "left"};
  ASSERT_EQ(doc["supported_sources"].size(), 2u);
  ASSERT_EQ(doc["supported_targets"].size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const YAML::Node source = doc["supported_sources"][i];
    EXPECT_EQ(keys_of(source), (std::vector<std::string>{"kind", "side"}));
    EXPECT_EQ(source["kind"].as<std::string>(), "glove");
    EXPECT_EQ(source["side"].as<std::string>(), sides[i]);
    const YAML::Node target = doc["supported_targets"][i];
    EXPECT_EQ(keys_of(target), (std::vector<std::string>{"kind", "name", "side"}));
    EXPECT_EQ(target["kind"].as<std::string>(), "hand");
    EXPECT_EQ(target["name"].as<std::string>(), "dynamic_openxr_hand");
    EXPECT_EQ(target["side"].as<std::string>(), sides[i]);
  }
  const YAML::Node requires_calibration = doc["requires_calibration"];
  EXPECT_EQ(keys_of(requires_calibration),
            (std::vector<std::string>{"mode", "algorithm_id", "minimum_calibration_version"}));
  EXPECT_EQ(requires_calibration["mode"].as<std::string>(), "required");
  EXPECT_EQ(requires_calibration["algorithm_id"].as<std::string>(), "kelto.hand.glove_to_hand.calibration");
  EXPECT_EQ(requires_calibration["minimum_calibration_version"].as<std::string>(), "0.2.1");
}

TEST(Manifests, CalibrationDocument) {
  const std::string text = KX(kx_calibration_manifest_json)();
  EXPECT_EQ(text.size(), 806u);
  EXPECT_TRUE(compact_json(text));
  const YAML::Node doc = YAML::Load(text);
  EXPECT_EQ(keys_of(doc),
            (std::vector<std::string>{"schema_version", "id", "version", "kind", "calibration_workflow"}));
  EXPECT_EQ(doc["schema_version"].as<std::string>(), "1");
  EXPECT_EQ(doc["id"].as<std::string>(), "kelto.hand.glove_to_hand.calibration");
  EXPECT_EQ(doc["version"].as<std::string>(), "0.2.1");
  EXPECT_EQ(doc["kind"].as<std::string>(), "calibration");
  EXPECT_EQ(keys_of(doc["calibration_workflow"]), (std::vector<std::string>{"stages"}));
  const struct {
    const char* id;
    const char* prompt;
    bool optional;
  } stages[] = {
      {"close", "五指自然并拢并保持。", false},
      {"open", "五指自然张开并保持。", false},
      {"mcp90", "四指根关节弯曲约 90 度并保持。", false},
      {"pinch_first", "拇指与食指指腹轻触并保持。", true},
      {"pinch_middle", "拇指与中指指腹轻触并保持。", true},
      {"pinch_ring", "拇指与无名指指腹轻触并保持。", true},
      {"pinch_little", "拇指与小指指腹轻触并保持。", true},
  };
  const YAML::Node list = doc["calibration_workflow"]["stages"];
  ASSERT_EQ(list.size(), std::size(stages));
  for (std::size_t i = 0; i < std::size(stages); ++i) {
    SCOPED_TRACE(stages[i].id);
    const YAML::Node stage = list[i];
    std::vector<std::string> expected_keys{"id", "prompt", "sample_count"};
    if (stages[i].optional) expected_keys.push_back("optional");
    EXPECT_EQ(keys_of(stage), expected_keys);
    EXPECT_EQ(stage["id"].as<std::string>(), stages[i].id);
    EXPECT_EQ(stage["prompt"].as<std::string>(), stages[i].prompt);
    EXPECT_EQ(stage["sample_count"].as<int>(), 30);
    if (stages[i].optional) {
      EXPECT_EQ(stage["optional"].Scalar(), "true");
    }
  }
}

// A failing call sets only the calling thread's text; a fresh thread starts with an empty one.
TEST(LastError, HeldPerThread) {
  ASSERT_EQ(KX(kx_sdk_create)(nullptr, nullptr), KX_STATUS_INVALID_ARGUMENT);
  ASSERT_STREQ(KX(kx_last_error)(), "SDK output pointer is required");

  std::string fresh_text = "not read";
  std::string own_text;
  std::thread other([&] {
    fresh_text = KX(kx_last_error)();
    kx_sdk* sdk = nullptr;
    KX(kx_sdk_create)(nullptr, &sdk);
    own_text = KX(kx_last_error)();
  });
  other.join();
  EXPECT_EQ(fresh_text, "");
  EXPECT_EQ(own_text, "SDK options are invalid");
  EXPECT_STREQ(KX(kx_last_error)(), "SDK output pointer is required");
}

}  // namespace

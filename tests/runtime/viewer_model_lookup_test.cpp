// Where the viewer looks for a side's MJCF model.
#include "runtime/viewer_model_lookup.hpp"

#include <stdexcept>

#include <gtest/gtest.h>

#include "support/test_files.hpp"

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using kelto::test::TempDir;
using kelto::test::write_file;

constexpr const char* kHand = "viewer_lookup_hand";

class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~ScopedWorkingDirectory() {
    std::error_code ignored;
    fs::current_path(old_, ignored);
  }
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

 private:
  fs::path old_;
};

class ViewerModelLookup : public ::testing::Test {
 protected:
  ViewerModelLookup() : root_(fs::canonical(dir_.path())), config_(root_ / "a/b/conf/system.yaml") {
    write_file(config_, "hand: {type: viewer_lookup_hand}\n");
  }
  fs::path model(const std::string& relative) { return write_file(root_ / relative, "<mujoco/>\n"); }
  std::string missing_message() const {
    return std::string("cannot locate MuJoCo model for ") + kHand + "/right; pass --mujoco-model";
  }

  TempDir dir_;
  fs::path root_;
  fs::path config_;
};

// Every candidate present at once: each lookup returns the first in order; removing it uncovers the next.
// Files in places the viewer does not search are never returned.
TEST_F(ViewerModelLookup, CandidatesAreTriedInOrder) {
  const std::string kh = std::string("kelto_hand/resources/hands/") + kHand + "/resources/";
  const std::string h = std::string("hands/") + kHand + "/resources/";
  const std::vector<std::string> order = {
      "a/b/conf/resources/mujoco/right.xml",
      "a/b/conf/resources/pinocchio/right/hand.xml",
      "a/b/conf/" + kh + "mujoco/right.xml",
      "a/b/conf/" + h + "mujoco/right.xml",
      "a/b/conf/" + kh + "pinocchio/right/hand.xml",
      "a/b/conf/" + h + "pinocchio/right/hand.xml",
      "a/b/" + kh + "mujoco/right.xml",
      "a/b/" + h + "pinocchio/right/hand.xml",
      "a/" + kh + "pinocchio/right/hand.xml",
      h + "mujoco/right.xml",
  };
  const std::vector<std::string> ignored = {
      "a/b/conf/resources/mujoco/right/hand.xml", "a/b/conf/resources/pinocchio/right.urdf",
      "a/b/conf/" + h + "mujoco/right/hand.xml",  "a/b/conf/" + h + "pinocchio/right.urdf",
      "a/b/conf/resources/mujoco/left.xml",       "a/b/conf/" + h + "mujoco/right_physics.xml",
  };
  for (const std::string& file : order) model(file);
  for (const std::string& file : ignored) model(file);

  for (const std::string& file : order) {
    SCOPED_TRACE(file);
    EXPECT_EQ(resolve_mujoco_model(config_, kHand, "right", ""), root_ / file);
    fs::remove(root_ / file);
  }
  try {
    resolve_mujoco_model(config_, kHand, "right", "");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(error.what(), missing_message());
  }
}

TEST_F(ViewerModelLookup, OverrideIsOnlyMadeAbsolute) {
  model("a/b/conf/resources/mujoco/right.xml");
  ScopedWorkingDirectory cwd(root_ / "a");
  EXPECT_EQ(resolve_mujoco_model(config_, kHand, "right", "models/none.xml"), root_ / "a/models/none.xml");
  EXPECT_EQ(resolve_mujoco_model(config_, "other_hand", "left", "/nowhere/x.xml"),
            fs::path("/nowhere/x.xml"));
}

// A directory named like a model is skipped; a link to a model is followed to the file it names.
TEST_F(ViewerModelLookup, OnlyRegularFilesCount) {
  fs::create_directories(root_ / "a/b/conf/resources/mujoco/right.xml");
  const fs::path target = model("elsewhere/hand_model.xml");
  fs::create_directories(root_ / "a/b/conf/resources/pinocchio/right");
  fs::create_symlink(target, root_ / "a/b/conf/resources/pinocchio/right/hand.xml");
  EXPECT_EQ(resolve_mujoco_model(config_, kHand, "right", ""), target);

  fs::remove(target);  // the link now dangles
  EXPECT_THROW(resolve_mujoco_model(config_, kHand, "right", ""), std::runtime_error);
}

TEST_F(ViewerModelLookup, RelativeConfigurationPathFindsTheSameFiles) {
  const fs::path beside = model("a/b/conf/resources/mujoco/right.xml");
  ScopedWorkingDirectory cwd(root_ / "a/b");
  EXPECT_EQ(resolve_mujoco_model("conf/system.yaml", kHand, "right", ""), beside);
}

// Neither the working directory nor its ancestors are searched.
TEST_F(ViewerModelLookup, WorkingDirectoryIsNotSearched) {
  model(std::string("work/hands/") + kHand + "/resources/mujoco/right.xml");
  model(std::string("work/kelto_hand/resources/hands/") + kHand + "/resources/mujoco/right.xml");
  ScopedWorkingDirectory cwd(root_ / "work");
  try {
    resolve_mujoco_model(config_, kHand, "right", "");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(error.what(), missing_message());
  }
}

}  // namespace
}  // namespace kelto::hand::runtime

// What a user sees when something is wrong: the command, setting, key or
// folder at fault in plain words with the nearest right name, never a source
// file and line or a system call (those only with --verbose), and the exit
// code of a usage error (2) or a failure (1).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

class UserErrors : public test::CommandTest {
 protected:
  // The example figure with its first "position" key mistyped by hand.
  std::string MistypedScene() {
    std::string text = Slurp(test::kFigure);
    text.replace(text.find("\"position\""), 10, "\"positon\"");
    const std::string path = Path("mistyped.kscene");
    std::ofstream(path) << text;
    return path;
  }
};

TEST_F(UserErrors, SayWhatIsWrongInPlainWords) {
  const std::string figure = test::kFigure, out = Path("out.kt2");
  const std::string mistyped = MistypedScene();
  const struct {
    std::string arguments;
    int exitCode;
    std::string said;  // the whole of stderr when it ends in "\n", else a part of it
  } cases[] = {
      {"frob", 2, "ketrel: unknown command frob\n"},
      {"expotr a b", 2, "ketrel: unknown command expotr; did you mean \"export\"?\n"},
      {"--verbose settings sceham", 2,
       "ketrel settings: unknown command sceham; did you mean \"schema\"?\n"},
      {"", 2, "ketrel: no command given (commands: export, import, settings, info, dump, verify"},
      {"export --silent " + mistyped + " " + out, 1,
       mistyped + ": nodes[1] \"Hips\".positon: unknown key; did you mean \"position\"?"},
      {"export --silent " + figure + " " + Path("nodir") + "/x.kt2", 1,
       "cannot write " + Path("nodir") + "/x.kt2: folder " + Path("nodir") + "/ does not exist"},
      {"export --silent " + figure + " " + out + " --set \"Positon curve tolerance=0.1\"", 2,
       "Unknown setting \"Positon curve tolerance\"; did you mean \"Position curve tolerance\"?"},
      {"export --silent " + figure + " " + out +
           " --set \"Morph Targets=Extract mesh frame by frame\"" +
           " --set \"Create vertex morph curves=on\" --set \"Position curve tolerance=0.1\"",
       2,
       "means different settings in \"Mesh settings\", \"Animation settings\"; name the "
       "category, as in \"Animation settings/Position curve tolerance=0.1\""},
      {"info " + Path("missing.kt2"), 1, "cannot read " + Path("missing.kt2") + ": no such file"},
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_EQ(Run(c.arguments, nullptr, &err), c.exitCode) << c.arguments << "\n" << err;
    if (c.said.back() == '\n') {
      EXPECT_EQ(err, c.said) << c.arguments;
    } else {
      EXPECT_NE(err.find(c.said), std::string::npos) << c.arguments << "\n" << err;
    }
    EXPECT_EQ(err.find(".cpp("), std::string::npos) << c.arguments << "\n" << err;
    EXPECT_EQ(err.find("mkstemp"), std::string::npos) << c.arguments << "\n" << err;
    EXPECT_FALSE(std::filesystem::exists(out)) << c.arguments;
  }
  // The bone animation settings alone: accepted, and the export is written.
  EXPECT_EQ(Run("export --silent " + figure + " " + out +
                " --set \"Bone animation settings/Position curve tolerance=0.1\""),
            0);
  EXPECT_TRUE(std::filesystem::exists(out));
}

// --verbose keeps the system call and the source position for whoever
// debugs. The folder is looked at before any work: no warning of the
// conversion comes first.
TEST_F(UserErrors, VerboseAlsoNamesTheSystemCall) {
  std::string err;
  EXPECT_EQ(
      Run("export --silent --verbose " + test::kFigure + " " + Path("nodir/x.kt2"), nullptr, &err),
      1);
  EXPECT_NE(
      err.find("folder " + Path("nodir") + "/ does not exist (stat: No such file or directory)"),
      std::string::npos)
      << err;
  EXPECT_NE(err.find(".cpp("), std::string::npos) << err;
  EXPECT_EQ(err.find("warning"), std::string::npos) << err;
}

}  // namespace
}  // namespace ketrel

// argreport end to end: the program runs as a real process on a private X
// server (at 32 bits through the emulator), its dialog is read by the probe
// module and from the server, and a real click or a close from outside ends
// it. Its body also runs in-process, where the buffer can be watched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "argreport.h"
#include "argreport_run.h"
#include "core/rtstring.h"
#include "core/textconv.h"
#include "dialog_session.h"
#include "xserver.h"

namespace {

const std::string kHeading = "Plinket launched. Arguments were:\r";

// What every shown dialog of argreport has, however it was then ended.
void expect_plinket_dialog(const ArgreportRun &run) {
  ASSERT_TRUE(run.drawn) << "no dialog within the time; stderr:\n" << run.process.err;
  EXPECT_EQ(run.title, "Plinket");
  ASSERT_EQ(run.buttons.size(), 1u);
  EXPECT_EQ(run.buttons[0].stock_id, "gtk-ok");
  EXPECT_EQ(run.focus, "gtk-ok");
  EXPECT_TRUE(run.found_by_name) << "a visible window named Plinket";
  EXPECT_EQ(run.server_title, "_NET_WM_NAME(UTF8_STRING) = \"Plinket\"");
  EXPECT_EQ(run.motif_hints, "_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = 0x3, 0xc, 0x3a, 0x0, 0x0");
  EXPECT_TRUE(run.geometry.viewable);
  EXPECT_NEAR(run.geometry.x, (kScreenWidth - run.geometry.width) / 2, 1);
  EXPECT_NEAR(run.geometry.y, (kScreenHeight - run.geometry.height) / 2, 1);
  // The process ended by itself with status 0, its window gone.
  EXPECT_EQ(run.process.signal, 0);
  EXPECT_EQ(run.process.exit_status, 0) << run.process.err;
  EXPECT_FALSE(run.window_left);
}

class Argreport : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_NE(test_display(&why), "") << why;
  }
};

TEST_F(Argreport, ShowsItsArgumentsAndEndsWithStatusZeroOnOk) {
  struct Row {
    std::vector<std::string> args;
    std::string want;
    const char *why;
  } rows[] = {
      {{}, kHeading + "NONE", "no arguments: NONE without a CR"},
      {{"x", "y"}, kHeading + "x\ry\r", "each argument followed by a CR"},
      {{"a", "", "b"}, kHeading + "a\r\rb\r", "an empty argument adds just a CR"},
      {{"h\xC3\xA9llo", "\xE2\x82\xAC\xF0\x9F\x98\x80"}, kHeading + "h\xC3\xA9llo\r\xE2\x82\xAC\xF0\x9F\x98\x80\r",
       "non-ASCII arguments unchanged"},
      {{"a\xFF" "b", "\xC3", "ok"}, kHeading + "a\xEF\xBF\xBD" "b\r\xEF\xBF\xBD\rok\r",
       "bytes that are not UTF-8 show as U+FFFD"},
      {{"--sync", "x", "--name=probe", "y"}, kHeading + "x\ry\r", "GTK's options do not appear"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    ArgreportRun run;
    run.args = row.args;
    run_argreport(&run);
    expect_plinket_dialog(run);
    EXPECT_EQ(run.widget, "label");
    EXPECT_EQ(run.text, row.want);
  }
}

TEST_F(Argreport, ClosingTheWindowFromOutsideAlsoEndsWithStatusZero) {
  struct Row {
    Answer answer;
    const char *why;
  } rows[] = {
      {Answer::kCloseRequest, "the window manager's close request"},
      {Answer::kDestroyFromOutside, "another client destroys the window"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    ArgreportRun run;
    run.args = {"closing"};
    run.answer = row.answer;
    run_argreport(&run);
    expect_plinket_dialog(run);
    EXPECT_EQ(run.text, kHeading + "closing\r");
  }
}

TEST_F(Argreport, ManyArgumentsScrollInADialogThatFitsTheScreen) {
  struct Row {
    int count;
    double timeout;
    const char *why;
  } rows[] = {
      {2000, 120, "a plain label would pass X's 32767-pixel limit"},
      {10000, 300, "ten thousand arguments"},
      {50000, 600, "fifty thousand: no X window as tall as the text"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    ArgreportRun run;
    std::string want = kHeading;
    for (int i = 0; i < row.count; ++i) {
      run.args.push_back("a" + std::to_string(i));
      want += run.args.back() + "\r";
    }
    run.timeout = row.timeout;
    run_argreport(&run);
    expect_plinket_dialog(run);
    EXPECT_EQ(run.widget, "scrolled");
    EXPECT_TRUE(run.text == want) << "the text view holds every argument";
    EXPECT_GE(run.geometry.y, 0);
    EXPECT_LE(run.geometry.y + run.geometry.height, kScreenHeight);
    ASSERT_EQ(run.buttons.size(), 1u);
    EXPECT_LE(run.buttons[0].y + run.buttons[0].height, kScreenHeight) << "OK stays on the screen";
  }
}

TEST_F(Argreport, ScreenshotOfTheDialogIsSavedAsAnArtifact) {
  ArgreportRun run;
  run.args = {"x", "y", "h\xC3\xA9llo"};
  run.screenshot = std::string(GUI_ARTIFACT_DIR) + "/argreport_dialog.png";
  remove(run.screenshot.c_str());
  run_argreport(&run);
  expect_plinket_dialog(run);
  GError *error = nullptr;
  GdkPixbuf *shot = gdk_pixbuf_new_from_file(run.screenshot.c_str(), &error);
  ASSERT_NE(shot, nullptr) << (error != nullptr ? error->message : "no picture");
  EXPECT_EQ(gdk_pixbuf_get_width(shot), run.geometry.width);
  EXPECT_EQ(gdk_pixbuf_get_height(shot), run.geometry.height);
  g_object_unref(shot);
}

TEST(ArgreportWithoutDisplay, GtkReportsItAndEndsTheProcess) {
  std::vector<std::string> command = {"env", "-u", "DISPLAY"};
  for (const std::string &word : program_command(ARGREPORT, {"x"})) command.push_back(word);
  ProcessResult r = run_process(command, "", scaled_timeout(60));
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("cannot open display"), std::string::npos) << r.err;
}

// The body in this process: the text is built in the buffer, the position is
// past its terminator while the dialog is up, and back at 0 afterwards.
TEST(ArgreportBody, BuildsTheTextInTheBufferAndPutsThePositionBack) {
  std::string why;
  ASSERT_TRUE(gui_ready(&why)) << why;
  strbuf_init();
  for (int32_t i = 0; i < argreport_frame.initialiser_count; ++i) argreport_frame.initialisers[i]();
  static char prog[] = "argreport", x[] = "x", empty[] = "", e_acute[] = "h\xC3\xA9";
  static char *argv[] = {prog, x, empty, e_acute, nullptr};
  program_state.argc = 4;
  program_state.argv = argv;

  DialogSession s;
  answer_dialog_during(&s, [](void *) { argreport_frame.body(); }, nullptr);

  const std::u16string args_text = u"x\r\rh\u00E9\r";
  const std::u16string shown = u"Plinket launched. Arguments were:\r" + args_text;
  EXPECT_FALSE(s.timed_out);
  EXPECT_EQ(s.view.title, "Plinket");
  EXPECT_EQ(s.view.text, kHeading + "x\r\rh\xC3\xA9\r");
  EXPECT_EQ(s.view.buffer_position, static_cast<int32_t>(2 * shown.size() + 2))
      << "the position lies past the shown text's terminator during the call";
  EXPECT_EQ(strbuf_position(), 0);
  EXPECT_EQ(argreport_globals.arg_count, 3);
  EXPECT_EQ(argreport_globals.arg_index, 3);
  ASSERT_NE(argreport_globals.args_text, nullptr);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(argreport_globals.args_text)), args_text);
  strbuf_release();
}

}  // namespace

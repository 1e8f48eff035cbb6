// The GUI module against a private X server: GTK initialisation, the message
// dialog answered by real pointer clicks and by closing it from outside, the
// text it shows, and the GLib string conversions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/frame.h"
#include "core/textconv.h"
#include "dialog_session.h"
#include "gui/gui.h"
#include "xserver.h"

namespace {

const RtChar *R(const char16_t *text) { return reinterpret_cast<const RtChar *>(text); }

std::string join(const std::vector<std::string> &words) {
  std::string all;
  for (const std::string &w : words) all += (all.empty() ? "" : " ") + w;
  return all;
}

class Dialog : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(gui_ready(&why)) << why;
  }
};

// What must hold for every dialog, however it was answered.
void expect_common_shape(const DialogSession &s) {
  const DialogView &v = s.view;
  ASSERT_TRUE(v.seen) << "the dialog never appeared";
  EXPECT_FALSE(s.timed_out) << "nothing answered the dialog";
  EXPECT_EQ(v.state, 1) << "dialog_state while the dialog waits";
  EXPECT_EQ(v.result, DIALOG_RESULT_NONE) << "dialog_result while the dialog waits";
  EXPECT_TRUE(v.viewable);
  EXPECT_EQ(v.motif_hints, "_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = 0x3, 0xc, 0x3a, 0x0, 0x0")
      << "functions 12 (move, minimise) and decorations 58 (border, title, menu, minimise)";
  EXPECT_EQ(v.position, GTK_WIN_POS_CENTER);
  EXPECT_NEAR(v.x, (kScreenWidth - v.width) / 2, 1) << "centred across";
  EXPECT_NEAR(v.y, (kScreenHeight - v.height) / 2, 1) << "centred down";
  EXPECT_EQ(v.accel_groups, 1);
  EXPECT_FALSE(v.modal) << "the call blocks, not GTK's modality";
  EXPECT_FALSE(v.transient);
  EXPECT_TRUE(v.buttons_use_stock);
  // After the call: the window is gone everywhere and nothing is pending.
  EXPECT_EQ(dialog_state, -1);
  EXPECT_EQ(dialog_result, s.returned);
  EXPECT_FALSE(s.dialog_toplevel_left);
  EXPECT_FALSE(s.window_left_on_server);
  EXPECT_FALSE(s.events_pending_after);
  EXPECT_TRUE(s.accelerators_released) << "the dialog's reference to its accelerator group";
}

TEST(GuiInit, InitialisesGtkOnceAndGtkTakesItsOptions) {
  std::string why;
  ASSERT_NE(test_display(&why), "") << why;
  ASSERT_EQ(gui_initialised, 0) << "another test initialised GTK in this process first";
  static char prog[] = "gui_test", name[] = "--name=gui_test", kept[] = "kept";
  static char *argv[] = {prog, name, kept, nullptr};
  program_state.argc = 3;
  program_state.argv = argv;
  gui_init();
  gui_init();
  EXPECT_EQ(gtk_init_calls(), 1);
  EXPECT_EQ(gui_initialised, 1);
  ASSERT_EQ(program_state.argc, 2);
  EXPECT_STREQ(program_state.argv[1], "kept");
}

TEST_F(Dialog, EachButtonReturnsItsCode) {
  struct Row {
    NativeInt flags;
    int click;
    const char *buttons;
    int width, height;
    const char *focus_grab;  // the button the module focuses, "" for none
    NativeInt want;
    const char *why;
  } rows[] = {
      {0, 0, "gtk-ok", 100, 50, "gtk-ok", DIALOG_RESULT_OK, "OK"},
      {DIALOG_FLAG_YES_NO, 0, "gtk-yes gtk-no", 250, 50, "gtk-yes", DIALOG_RESULT_YES, "Yes/No: yes"},
      {DIALOG_FLAG_YES_NO, 1, "gtk-yes gtk-no", 250, 50, "gtk-yes", DIALOG_RESULT_NO, "Yes/No: no"},
      {DIALOG_FLAG_YES_NO_CANCEL, 0, "gtk-yes gtk-no gtk-cancel", 300, 50, "", DIALOG_RESULT_YES,
       "Yes/No/Cancel: yes, and no focus set"},
      {DIALOG_FLAG_YES_NO_CANCEL, 1, "gtk-yes gtk-no gtk-cancel", 300, 50, "", DIALOG_RESULT_NO,
       "Yes/No/Cancel: no"},
      {DIALOG_FLAG_YES_NO_CANCEL, 2, "gtk-yes gtk-no gtk-cancel", 300, 50, "", DIALOG_RESULT_CANCEL,
       "Yes/No/Cancel: cancel"},
      {3, 1, "gtk-yes gtk-no", 250, 50, "gtk-yes", DIALOG_RESULT_NO, "flags 3: bit 0 is tested first"},
      {4, 0, "gtk-ok", 100, 50, "gtk-ok", DIALOG_RESULT_OK, "flags 4: neither bit is OK"},
      {-1, 0, "gtk-yes gtk-no", 250, 50, "gtk-yes", DIALOG_RESULT_YES, "all bits: bit 0 wins"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    DialogSession s;
    s.button = row.click;
    run_dialog(&s, R(u"Question"), R(u"Proceed?"), row.flags);
    expect_common_shape(s);
    EXPECT_EQ(s.returned, row.want);
    EXPECT_EQ(join(s.view.buttons), row.buttons);
    EXPECT_EQ(s.view.default_width, row.width);
    EXPECT_EQ(s.view.default_height, row.height);
    EXPECT_EQ(join(s.focus_grabs), row.focus_grab);
    if (row.focus_grab[0] != 0) {
      EXPECT_EQ(s.view.focus, row.focus_grab) << "the focused button has the focus on screen";
    }
    EXPECT_EQ(s.module_destroys, 1) << "a button's dialog is destroyed by the module, once";
    EXPECT_EQ(s.view.title, "Question");
    EXPECT_EQ(s.view.server_title, "_NET_WM_NAME(UTF8_STRING) = \"Question\"");
    EXPECT_TRUE(s.view.label);
    EXPECT_EQ(s.view.text, "Proceed?");
    EXPECT_EQ(s.view.xpad, 10);
    EXPECT_EQ(s.view.ypad, 10);
    EXPECT_FALSE(s.view.markup);
  }
}

TEST_F(Dialog, AWindowClosedFromOutsideReturnsNoneAndIsNotDestroyedAgain) {
  struct Row {
    Answer answer;
    const char *why;
  } rows[] = {
      {Answer::kDestroyFromOutside, "another client destroys the window"},
      {Answer::kCloseRequest, "the window manager's close request"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    DialogSession s;
    s.answer = row.answer;
    run_dialog(&s, R(u"Closing"), R(u"Close me from outside"), DIALOG_FLAG_YES_NO);
    expect_common_shape(s);
    EXPECT_EQ(s.returned, DIALOG_RESULT_NONE);
    EXPECT_EQ(s.module_destroys, 0) << "the module must not destroy a window that is gone";
  }
}

TEST_F(Dialog, TitleAndTextReachGtkAsValidUtf8) {
  struct Row {
    const char16_t *title;
    const char16_t *text;
    const char *want_title;
    const char *want_text;
    int want_lines;
    const char *why;
  } rows[] = {
      {nullptr, nullptr, "", "", 1, "null title and text are empty"},
      {u"", u"", "", "", 1, "empty title and text"},
      {u"Lines", u"one\rtwo\rthree", "Lines", "one\rtwo\rthree", 3, "CRs break the label's lines"},
      {u"Lines", u"heading\rx\ry\r", "Lines", "heading\rx\ry\r", 4, "a final CR ends the last line"},
      {u"T\u00EDtulo \u20AC", u"h\u00E9llo \U0001F600", "T\xC3\xADtulo \xE2\x82\xAC",
       "h\xC3\xA9llo \xF0\x9F\x98\x80", 1, "non-ASCII text and title"},
      {u"a\xD83D" u"b", u"x\xDC00y\xD83D", "a\xEF\xBF\xBD" "b", "x\xEF\xBF\xBDy\xEF\xBF\xBD", 1,
       "unpaired surrogates show as U+FFFD instead of losing the text"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    DialogSession s;
    run_dialog(&s, R(row.title), R(row.text), 0);
    expect_common_shape(s);
    EXPECT_EQ(s.returned, DIALOG_RESULT_OK);
    EXPECT_EQ(s.view.title, row.want_title);
    EXPECT_TRUE(s.view.label);
    EXPECT_EQ(s.view.text, row.want_text);
    EXPECT_EQ(s.view.label_lines, row.want_lines);
  }
}

std::u16string many_lines(int count, const std::u16string &line) {
  std::u16string text = u"Plinket launched. Arguments were:\r";
  for (int i = 0; i < count; ++i) text += line + u"\r";
  return text;
}

std::string to_utf8(const std::u16string &text) {
  HostString host = str_to_host_utf8(R(text.c_str()));
  std::string utf8 = host;
  host_string_free(host);
  return utf8;
}

TEST_F(Dialog, TextTooLargeForTheScreenScrollsAndTheButtonStaysReachable) {
  struct Row {
    std::u16string text;
    bool scrolled;
    const char *why;
  } rows[] = {
      {many_lines(3, u"arg"), false, "a few lines: the plain label"},
      {many_lines(40, u"arg"), false, "forty lines still fit: the plain label"},
      {many_lines(60, u"arg"), true, "sixty lines are taller than most of the screen"},
      {many_lines(2000, u"a1234"), true, "past the 32767 pixels an X window can have"},
      {many_lines(10000, u"a1234"), true, "ten thousand lines"},
      {many_lines(1, std::u16string(6000, u'W')), true, "one line wider than the screen"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    DialogSession s;
    run_dialog(&s, R(u"Plinket"), R(row.text.c_str()), 0);
    expect_common_shape(s);
    EXPECT_EQ(s.returned, DIALOG_RESULT_OK);
    EXPECT_EQ(s.view.label, !row.scrolled);
    EXPECT_EQ(s.view.scrolled, row.scrolled);
    EXPECT_EQ(s.view.text, to_utf8(row.text)) << "every line can still be read";
    // The whole window, and with it the button, lies on the screen.
    EXPECT_GE(s.view.x, 0);
    EXPECT_GE(s.view.y, 0);
    EXPECT_LE(s.view.x + s.view.width, kScreenWidth);
    EXPECT_LE(s.view.y + s.view.height, kScreenHeight);
  }
}

TEST_F(Dialog, ScreenshotOfEachKindIsSavedAsAnArtifact) {
  struct Row {
    std::u16string text;
    NativeInt flags;
    const char *file;
  } rows[] = {
      {u"Plinket launched. Arguments were:\rx\ry\r", DIALOG_FLAG_YES_NO_CANCEL, "dialog_yes_no_cancel.png"},
      {many_lines(200, u"a1234"), 0, "dialog_scrolled.png"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.file);
    std::string path = std::string(GUI_ARTIFACT_DIR) + "/" + row.file;
    remove(path.c_str());
    DialogSession s;
    s.screenshot = path;
    run_dialog(&s, R(u"Plinket"), R(row.text.c_str()), row.flags);
    expect_common_shape(s);
    GError *error = nullptr;
    GdkPixbuf *shot = gdk_pixbuf_new_from_file(path.c_str(), &error);
    ASSERT_NE(shot, nullptr) << (error != nullptr ? error->message : "no picture");
    EXPECT_EQ(gdk_pixbuf_get_width(shot), s.view.width);
    EXPECT_EQ(gdk_pixbuf_get_height(shot), s.view.height);
    g_object_unref(shot);
  }
}

// The GLib conversions need no display.
TEST(GlibText, RuntimeStringsBecomeValidUtf8WithUnpairedSurrogatesReplaced) {
  struct Row {
    std::vector<RtChar> units;  // without the terminator; empty with null_text for null
    bool null_text;
    std::string want;
    const char *why;
  } rows[] = {
      {{}, true, "", "null is the empty string"},
      {{}, false, "", "the empty string"},
      {{'a', 0xE9, 0x20AC}, false, "a\xC3\xA9\xE2\x82\xAC", "one to three bytes"},
      {{0xD83D, 0xDE00}, false, "\xF0\x9F\x98\x80", "a surrogate pair is one character"},
      {{'a', 0xD83D, 'b'}, false, "a\xEF\xBF\xBD" "b", "a high surrogate before a letter"},
      {{'a', 0xD83D}, false, "a\xEF\xBF\xBD", "a high surrogate at the end"},
      {{0xDC00, 'x'}, false, "\xEF\xBF\xBDx", "a lone low surrogate"},
      {{0xDE00, 0xD83D}, false, "\xEF\xBF\xBD\xEF\xBF\xBD", "a pair in the wrong order"},
      {{0xD83D, 0xD83D, 0xDE00}, false, "\xEF\xBF\xBD\xF0\x9F\x98\x80", "a high surrogate before a pair"},
      {{0xFFFF, 0x7F, 0x80, 0x7FF, 0x800}, false, "\xEF\xBF\xBF\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80",
       "the edges of each length"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    std::vector<RtChar> text = row.units;
    text.push_back(0);
    const RtChar *s = row.null_text ? nullptr : text.data();
    char *utf8 = str_to_glib_utf8(s);
    ASSERT_NE(utf8, nullptr);
    EXPECT_EQ(std::string(utf8), row.want);
    EXPECT_TRUE(g_utf8_validate(utf8, -1, nullptr));
    // The same rule as text leaving the runtime for the C library.
    HostString host = str_to_host_utf8(s);
    EXPECT_EQ(std::string(utf8), std::string(host));
    host_string_free(host);
    glib_string_free(utf8);
  }
}

TEST(GlibText, Iso885915ConversionsGiveAFreshStringAndKeepWhatTheyCannotConvert) {
  struct Row {
    char *(*convert)(const char *);
    const char *input;  // null for a null argument
    std::string want;
    const char *why;
  } rows[] = {
      {glib_utf8_to_iso8859_15, nullptr, "", "null is the empty string"},
      {glib_utf8_to_iso8859_15, "abc", "abc", "ASCII is the same"},
      {glib_utf8_to_iso8859_15, "\xE2\x82\xAC \xC3\xA9 \xC5\x93", "\xA4 \xE9 \xBD", "euro, e acute, oe"},
      {glib_utf8_to_iso8859_15, "\xC2\xA4", "\xC2\xA4", "the currency sign is not in the set: unchanged"},
      {glib_utf8_to_iso8859_15, "a\xFF", "a\xFF", "not UTF-8: unchanged"},
      {glib_iso8859_15_to_utf8, nullptr, "", "null is the empty string"},
      {glib_iso8859_15_to_utf8, "\xA4 \xE9 \xBD", "\xE2\x82\xAC \xC3\xA9 \xC5\x93", "back to UTF-8"},
      {glib_iso8859_15_to_utf8, "", "", "the empty string"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    char *out = row.convert(row.input);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, row.input);
    EXPECT_EQ(std::string(out), row.want);
    glib_string_free(out);
  }
}

}  // namespace

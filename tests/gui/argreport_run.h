// Runs argreport as a real process on the test display (through the build's
// emulator where needed) with the dialog probe loaded, waits until its dialog
// has been drawn, looks at the window from outside and answers it.
#ifndef KRT_TESTS_GUI_ARGREPORT_RUN_H
#define KRT_TESTS_GUI_ARGREPORT_RUN_H

#include <string>
#include <vector>

#include "support/process.h"
#include "xserver.h"

struct ReportedButton {
  std::string stock_id;
  int x = 0, y = 0, width = 0, height = 0;  // on the screen
};

struct ArgreportRun {
  std::vector<std::string> args;
  std::vector<std::string> wrapper;  // words in front of the program (a tool such as valgrind)
  Answer answer = Answer::kClick;  // a click means the first button
  std::string screenshot;          // PNG of the dialog to save, "" for none
  double timeout = 120;            // seconds (native) for the dialog to appear
  // What the probe reported from inside the program.
  bool drawn = false;
  double seconds_to_drawn = 0;  // from the start of the process
  std::string title, widget, text, focus;
  std::vector<ReportedButton> buttons;
  unsigned long xid = 0;
  // How the server saw the window.
  bool found_by_name = false;  // among visible windows named exactly "Plinket"
  std::string server_title, motif_hints;
  WindowGeometry geometry;
  bool window_left = true;  // after the process ended
  ProcessResult process;
};

void run_argreport(ArgreportRun *run);

#endif

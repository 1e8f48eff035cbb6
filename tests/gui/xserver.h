// A private X server for GUI tests and the X tools that look at it from the
// outside. Each test process starts its own Xvfb on a free display number,
// sets DISPLAY to it and ends it by its process id when the process exits, so
// tests running side by side never share a server.
#ifndef KRT_TESTS_GUI_XSERVER_H
#define KRT_TESTS_GUI_XSERVER_H

#include <string>
#include <vector>

// Screen size of the test server.
constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 1024;

// The display of this process's server (":n"), started on first use with
// DISPLAY set to it; "" when it could not be started (`why` says why).
std::string test_display(std::string *why = nullptr);

// Timeouts are stretched when this build runs under an emulator.
double scaled_timeout(double native_seconds);

// Runs an X tool (xdotool, xwininfo, xprop) against the test display; returns
// its standard output, its exit status in *status when given.
std::string x_tool(const std::vector<std::string> &args, int *status = nullptr);

// How a test answers a dialog.
enum class Answer {
  kClick,               // a pointer click on one of its buttons
  kDestroyFromOutside,  // another client destroys the window
  kCloseRequest,        // the window manager's close request
};

struct WindowGeometry {
  int x = 0, y = 0;  // upper-left corner on the screen
  int width = 0, height = 0;
  bool viewable = false;
};

// Visible top-level windows whose name matches the regular expression.
std::vector<unsigned long> find_windows(const std::string &name_regex);
// Geometry of a window as the server has it; false when it does not exist.
bool window_geometry(unsigned long id, WindowGeometry *geometry);
// Whether a window of that id exists anywhere in the server's window tree.
bool window_exists(unsigned long id);
// A property as xprop prints it ("NAME(TYPE) = value"), or "" when unset.
std::string window_property(unsigned long id, const std::string &name);

// A real pointer click (button 1) at screen coordinates, through XTest.
void click_at(int x, int y);
// Moves the pointer to the screen's top-left corner, off any centred window.
void park_pointer();
// Destroys the window from another client.
void destroy_window_from_outside(unsigned long id);
// Sends the window manager's close request (WM_DELETE_WINDOW) to the window.
bool request_window_close(unsigned long id);

#endif

#include "argreport_run.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool read_file(const std::string &path, std::string *contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *contents = all.str();
  return true;
}

std::string unhex(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

void parse_report(const std::string &contents, ArgreportRun *run) {
  std::istringstream lines(contents);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key, value;
    words >> key;
    if (key == "title") {
      words >> value;
      run->title = unhex(value);
    } else if (key == "widget") {
      words >> run->widget;
    } else if (key == "text") {
      words >> value;
      run->text = unhex(value);
    } else if (key == "button") {
      ReportedButton b;
      words >> b.stock_id >> b.x >> b.y >> b.width >> b.height;
      run->buttons.push_back(b);
    } else if (key == "focus") {
      words >> run->focus;
    } else if (key == "xid") {
      words >> run->xid;
    }
  }
}

}  // namespace

void run_argreport(ArgreportRun *run) {
  std::string display = test_display();
  std::string report = std::string(GUI_ARTIFACT_DIR) + "/argreport-probe-" + std::to_string(getpid()) + ".txt";
  unlink(report.c_str());
  std::vector<std::string> command = {"env", "DISPLAY=" + display, "GTK_MODULES=" DIALOG_PROBE_MODULE,
                                      "KRT_PROBE_REPORT=" + report, "KRT_PROBE_SCREENSHOT=" + run->screenshot};
  command.insert(command.end(), run->wrapper.begin(), run->wrapper.end());
  for (const std::string &word : program_command(ARGREPORT, run->args)) command.push_back(word);

  // The pointer waits in a corner when another client destroys the window
  // (see answer_dialog_during).
  if (run->answer == Answer::kDestroyFromOutside) park_pointer();
  std::atomic<bool> ended{false};
  const double start = now_seconds();
  const double deadline = start + scaled_timeout(run->timeout);
  std::thread child([&] {
    run->process = run_process(command, "", scaled_timeout(run->timeout) + 60);
    ended = true;
  });

  std::string contents;
  while (!ended && now_seconds() < deadline) {
    if (read_file(report, &contents)) {
      run->drawn = true;
      break;
    }
    usleep(10000);
  }
  run->seconds_to_drawn = now_seconds() - start;
  if (run->drawn) {
    parse_report(contents, run);
    for (unsigned long id : find_windows("^Plinket$"))
      if (id == run->xid) run->found_by_name = true;
    run->server_title = window_property(run->xid, "_NET_WM_NAME");
    run->motif_hints = window_property(run->xid, "_MOTIF_WM_HINTS");
    window_geometry(run->xid, &run->geometry);
    switch (run->answer) {
      case Answer::kClick:
        if (!run->buttons.empty()) {
          const ReportedButton &b = run->buttons.front();
          click_at(b.x + b.width / 2, b.y + b.height / 2);
        }
        break;
      case Answer::kDestroyFromOutside:
        destroy_window_from_outside(run->xid);
        break;
      case Answer::kCloseRequest:
        request_window_close(run->xid);
        break;
    }
  }
  child.join();
  run->window_left = run->xid != 0 && window_exists(run->xid);
  unlink(report.c_str());
}

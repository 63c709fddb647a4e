// The main dialog: template 102, always on top, one handler per control.
#ifndef TAVO_MAIN_DIALOG_H
#define TAVO_MAIN_DIALOG_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "background_run.h"
#include "control_names.h"
#include "dialog_logic.h"
#include "progress_window.h"
#include "tavo/tavo.h"

namespace tavo::dialog {

class MainDialog {
 public:
  // Chooses the language of the texts from the display language, seeds the
  // random generator with the clock, draws the default factor and loads the
  // application icon. `app_name` captions the dialog's own warning boxes and
  // must outlive the dialog. `paths`, the files the program was given, fill
  // the path field.
  explicit MainDialog(const std::wstring& app_name, std::vector<std::wstring> paths = {});

  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  ~MainDialog();

  // Runs the dialog modally until a close request, made while no run is going
  // on, passes the factor check.
  // Returns the dialog's result, or -1 if it could not be created.
  INT_PTR run(HWND owner);

 private:
  using Handler = void (MainDialog::*)(int control_id);
  struct Command {
    int control_id;
    Handler handler;
  };
  static const Command kCommands[];

  static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR handle(UINT message, WPARAM wparam);
  // The answer to a message whose result is not the procedure's return value.
  INT_PTR answer(LONG_PTR result);

  void on_init_dialog();
  void on_destroy();
  void on_command(int control_id, int notification);
  void on_operation(const Operation& operation);
  void on_peek(int control_id);
  void on_usage(int control_id);
  void on_browse(int control_id);
  void on_close();
  void on_drop_files(HDROP drop);
  void on_help();
  bool paint_minimised();
  void on_run_progress();
  void on_run_finished(Result result);
  void on_show_progress();
  bool on_query_end_session();
  void on_end_session(bool ending);

  // The field texts in UTF-8, as the engine takes them. Each call replaces
  // its buffer with the field's whole current text; a path in double quotes
  // is taken without them.
  const char* read_path_text();
  const char* read_factor_text();

  // Hands the vector to the engine on a worker thread. The dialog's controls
  // stay disabled until it has returned; then a message box tells the user
  // how it went.
  void run_and_report(const ArgumentVector& vector);
  void show_result(Result result, const std::string& error_output);
  // The files to work on, as the path field shows them: the field holds the
  // first. Several come from a drop or the command line.
  void set_paths(std::vector<std::wstring> paths);
  void enable_controls(bool enable);
  double run_seconds() const;

  const std::wstring& application_name;
  HWND window = nullptr;
  HICON icon = nullptr;
  int factor_value = 0;
  std::string path_text;
  std::string factor_text;
  bool com_ready = false;
  std::unique_ptr<ControlNames> names;

  // Every file of the last drop or of the command line, the first of which
  // is in the path field. Runs take the field's text, so one file at a time
  // for now; a run over all of them in turn would start from this list.
  std::vector<std::wstring> paths;

  // The run in progress, if any, and what belongs to it.
  std::unique_ptr<BackgroundRun> worker;
  std::unique_ptr<ProgressWindow> progress;
  std::wstring run_file_name;
  DWORD run_start_tick = 0;
  std::vector<HWND> disabled_controls;
  HWND focus_before_run = nullptr;
  bool blocking_shutdown = false;
};

}  // namespace tavo::dialog

#endif  // TAVO_MAIN_DIALOG_H

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

  // The files of the path field when it names several, or one folder; empty
  // when it names one file (or nothing), which runs as it always has.
  std::vector<std::wstring> many_files();
  // A run over the files `files` (see many_files) with `operation` (null:
  // the peek); none that exists: nothing runs, nothing shows.
  void run_many(const Operation* operation, const std::vector<std::wstring>& files);

  // Hands the request to the engine on a worker thread. The dialog's controls
  // stay disabled until it has returned; then a message box tells the user
  // how it went.
  void run_and_report(OneFile run);
  void start_run(std::unique_ptr<BackgroundRun> run, const std::wstring& file_name);
  void show_result(Result result, const std::vector<std::string>& reasons);
  // The box of a run over many files, from its counts and the reasons of
  // its first failures.
  void show_counts(Result result, const ManyEnd& counts, bool peek,
                   const std::vector<std::string>& failures);
  // The files to work on, as the path field shows them: one as it is,
  // several each in double quotes. They come from a drop, the chooser or
  // the command line.
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

  // Every file of the last drop, choice or command line, all of which the
  // path field shows. Runs take the field's text, which the user may edit.
  std::vector<std::wstring> paths;

  // The run in progress, if any, and what belongs to it.
  std::unique_ptr<BackgroundRun> worker;
  std::unique_ptr<ProgressWindow> progress;
  std::wstring run_file_name;
  bool run_over_many = false;
  DWORD run_start_tick = 0;
  std::vector<HWND> disabled_controls;
  HWND focus_before_run = nullptr;
  bool blocking_shutdown = false;
};

}  // namespace tavo::dialog

#endif  // TAVO_MAIN_DIALOG_H

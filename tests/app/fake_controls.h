// A window stand-in for the intake and job tests: records what the code does
// to the controls. Thread-safe, like the window it stands for.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "app/controls.h"

namespace textrill::testing {

class FakeControls : public Controls {
 public:
  void SetStatus(const std::string& text) override {
    std::lock_guard lock(mutex_);
    statuses_.push_back(text);
  }
  std::string PathText() override {
    std::lock_guard lock(mutex_);
    return path_text_;
  }
  void SetPathText(const std::string& text) override {
    std::lock_guard lock(mutex_);
    path_text_ = text;
  }
  void ShowPreview(const std::vector<std::uint8_t>& bytes) override {
    std::lock_guard lock(mutex_);
    preview_ = bytes;
    ++previews_;
  }
  bool OpenFileDialog() override {
    std::lock_guard lock(mutex_);
    return !dialog_path_.empty();
  }
  std::string DialogFileName() override {
    std::lock_guard lock(mutex_);
    return dialog_name_;
  }
  std::filesystem::path DialogFilePath() override {
    std::lock_guard lock(mutex_);
    return dialog_path_;
  }
  void SetGoEnabled(bool enabled) override {
    std::lock_guard lock(mutex_);
    go_enabled_ = enabled;
  }
  void SetBrowseEnabled(bool enabled) override {
    std::lock_guard lock(mutex_);
    browse_enabled_ = enabled;
  }
  void ClearRows() override {
    std::lock_guard lock(mutex_);
    rows_.clear();
  }
  int AppendRow() override {
    std::lock_guard lock(mutex_);
    if (refuse_rows_) return -1;
    rows_.push_back({});
    return static_cast<int>(rows_.size()) - 1;
  }
  void SetCell(int row, int column, const std::string& text) override {
    std::lock_guard lock(mutex_);
    if (row >= 0 && row < static_cast<int>(rows_.size()) && column >= 0 && column < 3) {
      rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
    }
  }
  std::string Cell(int row, int column) override {
    std::lock_guard lock(mutex_);
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column >= 3) return "";
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  }
  int SelectedRow() override { return -1; }

  // What the tests set up and look at.
  void ChooseInDialog(const std::string& name, const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    dialog_name_ = name;
    dialog_path_ = path;
  }
  void RefuseRows(bool refuse) {
    std::lock_guard lock(mutex_);
    refuse_rows_ = refuse;
  }
  void AddRow(const std::array<std::string, 3>& cells) {
    std::lock_guard lock(mutex_);
    rows_.push_back(cells);
  }
  std::vector<std::string> Statuses() {
    std::lock_guard lock(mutex_);
    return statuses_;
  }
  std::string Caption() {
    std::lock_guard lock(mutex_);
    return statuses_.empty() ? std::string() : statuses_.back();
  }
  std::vector<std::array<std::string, 3>> Rows() {
    std::lock_guard lock(mutex_);
    return rows_;
  }
  std::vector<std::uint8_t> Preview() {
    std::lock_guard lock(mutex_);
    return preview_;
  }
  int Previews() {
    std::lock_guard lock(mutex_);
    return previews_;
  }
  bool GoEnabled() {
    std::lock_guard lock(mutex_);
    return go_enabled_;
  }
  bool BrowseEnabled() {
    std::lock_guard lock(mutex_);
    return browse_enabled_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> statuses_;
  std::string path_text_;
  std::vector<std::uint8_t> preview_;
  int previews_ = 0;
  std::string dialog_name_;
  std::filesystem::path dialog_path_;
  bool go_enabled_ = true;
  bool browse_enabled_ = true;
  bool refuse_rows_ = false;
  std::vector<std::array<std::string, 3>> rows_;
};

}  // namespace textrill::testing

// Common set-up of the intake and job tests: a fresh Session, the picture
// globals emptied, the job pointed at a local fake service, a scratch folder
// for picture files. Every job is waited for before the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/recognition_job.h"
#include "fake_controls.h"
#include "fake_service.h"
#include "http/http_session.h"

namespace textrill::testing {

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "textrill-app-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    Session = std::make_unique<HttpSession>();
    RecognitionUrl = service_.Url();
    ImageBytes.clear();
    ImageSignature.clear();
    ImageFormat.clear();
    EncodedImage.clear();
    AllResultsText.Set("");
  }

  void TearDown() override {
    service_.Release();
    WaitForRecognition();
    Session.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Writes `bytes` to a file of the scratch folder; returns its path.
  std::filesystem::path WriteFile(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  std::filesystem::path dir_;
  FakeService service_;
  FakeControls controls_;
};

}  // namespace textrill::testing

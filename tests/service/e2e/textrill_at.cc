// textrill as it is built, with its recognition address given on the command
// line instead of at build time, for the end-to-end test:
//   textrill_at URL [textrill arguments...]
// The program's own main is compiled into this executable as textrill_main.
#include <string>
#include <vector>

#include "app/recognition_job.h"

int textrill_main(int argc, char** argv);

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  textrill::RecognitionUrl = argv[1];
  std::vector<char*> rest = {argv[0]};
  for (int i = 2; i <= argc; ++i) rest.push_back(argv[i]);  // argv[argc] is the null pointer
  return textrill_main(argc - 1, rest.data());
}

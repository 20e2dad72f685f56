#ifndef VARNOLIX_TESTS_COUNTING_IO_H_
#define VARNOLIX_TESTS_COUNTING_IO_H_

#include <map>
#include <string>

/// Counts, in the unit tests, how often each file is opened and written (counting_io.cpp
/// stands in for the C library's open(), writev(), close() and ftruncate()).
namespace counting_io {

struct FileOperations {
  int opens = 0;
  int writes = 0;
};

/// While true, open(), writev() and close() are counted.
extern bool counting;

/// The counts so far, by the name each file was opened by.
extern std::map<std::string, FileOperations> byName;

/// While true, ftruncate() reports success and changes nothing, as FAT through FUSE did.
extern bool truncatesKeepBytes;

}  // namespace counting_io

#endif  // VARNOLIX_TESTS_COUNTING_IO_H_

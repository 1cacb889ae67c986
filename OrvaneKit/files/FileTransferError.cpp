#include "OrvaneKit/files/FileTransferError.h"

#include <cstring>

namespace orvane {

FileError FileError::outOfSpace() {
    return {Kind::outOfSpace, outOfSpaceCode,
            "The file is too large to receive: files above 20 GB are refused."};
}

FileError FileError::unknownWrite() {
    return {Kind::unknownWrite, unknownWriteCode,
            "The file could not be saved: more data arrived than was announced."};
}

FileError FileError::system(int error, const std::string& what) {
    return {Kind::system, error, what + ": " + std::strerror(error)};
}

}  // namespace orvane

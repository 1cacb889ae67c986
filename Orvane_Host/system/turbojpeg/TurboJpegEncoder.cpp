#include "Orvane_Host/system/turbojpeg/TurboJpegEncoder.h"

#include <turbojpeg.h>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

Bytes TurboJpegEncoder::encodeBGRX(const std::uint8_t* pixels, int width, int height, int stride,
                                   int quality) {
    if (!pixels || width <= 0 || height <= 0) return {};
    tjhandle handle = tjInitCompress();
    if (!handle) return {};
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    int rc = tjCompress2(handle, pixels, width, stride, height, TJPF_BGRX, &jpeg, &size, TJSAMP_420,
                         quality, TJFLAG_ACCURATEDCT);
    Bytes out;
    if (rc == 0 && jpeg)
        out.assign(jpeg, jpeg + size);
    else
        Logger("com.nimbrel.kelsap.host", "actions")
            .error("snapshot could not be compressed: {}", tjGetErrorStr2(handle));
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

}  // namespace orvane

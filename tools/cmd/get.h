// get.h - the arguments of orvtape get, shared by its one-file and its
// every-file forms.
#ifndef ORVTAPE_TOOL_CMD_GET_H
#define ORVTAPE_TOOL_CMD_GET_H

#include "base/common.h"

#include <string>

namespace orvtool {

// get IMAGE [N] [OUT], a data set of a labelled volume, or get IMAGE --all DIR
struct GetArgs : Common {
    std::string image, from;
    long long record = -1;  // --record K: block K's bytes, whatever it is
    std::string fileArg;  // N, or OUT when a data set is chosen
    std::string out;
    std::string all;  // --all DIR
    bool force = false;
    std::string dsName;     // --name
    long long dataSet = 0;  // --dataset, from 1
    bool unblock = false, ascii = false, strip = false;
    std::string recfm;  // without labels
    long long lrecl = 0;
};

// Every tape file of the image into o.all, then its manifest.
int cmdGetAll(const GetArgs& o);

}  // namespace orvtool

#endif

#include "media/register.h"

#include "media/fffilter.h"
#include "media/videosource.h"

namespace qexmedia {

void register_functions(qexhost::Environment& env) {
    qexhost::register_video_source(env);
    qexhost::register_fffilter(env);
}

}  // namespace qexmedia

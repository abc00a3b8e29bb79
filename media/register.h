// The script functions built on FFmpeg (VideoSource, FFFilter, Bwdif), for the programs that
// run scripts over recordings. The host core does not know them: an environment has them only
// once this has been called on it.
#pragma once

namespace qexhost {
class Environment;
}

namespace qexmedia {

// Registers VideoSource, FFFilter and Bwdif into `env`.
void register_functions(qexhost::Environment& env);

}  // namespace qexmedia

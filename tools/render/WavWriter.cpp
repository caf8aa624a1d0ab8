#include "WavWriter.h"

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

WavWriter::~WavWriter()
{
    abandon();
}

bool WavWriter::open(const std::string& path, int sampleRate, int channels, Format format, std::string& error)
{
    abandon();
    path_ = path;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    temporaryPath_ = folder + "." + name + ".partial-" + std::to_string(getpid());

    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (format == Format::Float ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
    file_ = sf_open(temporaryPath_.c_str(), SFM_WRITE, &info);
    if (!file_) {
        error = path + ": cannot write: " + sf_strerror(nullptr);
        temporaryPath_.clear();
        return false;
    }
    // Without this, samples beyond full scale wrap around in 16-bit files.
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // The peak chunk of float files carries the time of writing: without it,
    // the same render gives the same file.
    sf_command(file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    return true;
}

bool WavWriter::write(const float* interleaved, long frames, std::string& error)
{
    if (!file_) {
        error = path_ + ": not open";
        return false;
    }
    if (sf_writef_float(file_, interleaved, frames) != frames) {
        error = path_ + ": cannot write: " + sf_strerror(file_);
        return false;
    }
    return true;
}

bool WavWriter::finish(std::string& error)
{
    if (!file_) {
        error = path_ + ": not open";
        return false;
    }
    const int status = sf_close(file_);
    file_ = nullptr;
    if (status != 0) {
        error = path_ + ": cannot write: " + sf_error_number(status);
        abandon();
        return false;
    }
    if (std::rename(temporaryPath_.c_str(), path_.c_str()) != 0) {
        error = path_ + ": cannot write: " + std::string(std::strerror(errno));
        abandon();
        return false;
    }
    temporaryPath_.clear();
    return true;
}

void WavWriter::abandon()
{
    if (file_)
        sf_close(file_);
    file_ = nullptr;
    if (!temporaryPath_.empty())
        std::remove(temporaryPath_.c_str());
    temporaryPath_.clear();
}

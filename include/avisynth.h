// Plug-in interface of the frame server (interface version 3).
//
// Value classes (VideoInfo, AVSValue, PClip, PVideoFrame) are inline; the environment, clips and
// frames are reached only through virtual functions, so a plug-in built against this header is a
// self-contained shared library that the host loads with dlopen and enters through
//
//   extern "C" const char* AvisynthPluginInit2(IScriptEnvironment* env);
//
// The host evaluates scripts and asks filters for frames on one thread; reference counts are
// therefore plain integers.
#ifndef AVISYNTH_H
#define AVISYNTH_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

enum { AVISYNTH_INTERFACE_VERSION = 3 };

typedef unsigned char BYTE;

enum { FRAME_ALIGN = 16 };

// Plane selectors of the frame accessors; 0 addresses the luma plane or the packed picture.
enum { PLANAR_Y = 1 << 0, PLANAR_U = 1 << 1, PLANAR_V = 1 << 2 };

// Cache hints (accepted and ignored by the host's filters).
enum { CACHE_NOTHING = 0, CACHE_RANGE = 1 };

class IClip;
class PClip;
class VideoFrame;
class PVideoFrame;
class IScriptEnvironment;
class AVSValue;

// ---------------------------------------------------------------------------------------------
// VideoInfo: the properties of a clip. A filter may change its own copy freely.
struct VideoInfo {
    int width = 0;
    int height = 0;
    unsigned fps_numerator = 0;
    unsigned fps_denominator = 1;
    int num_frames = 0;

    enum {
        CS_BGR = 1 << 28,
        CS_YUV = 1 << 29,
        CS_INTERLEAVED = 1 << 30,
        CS_PLANAR = 1 << 31,

        CS_UNKNOWN = 0,
        CS_BGR24 = 1 << 0 | CS_BGR | CS_INTERLEAVED,
        CS_BGR32 = 1 << 1 | CS_BGR | CS_INTERLEAVED,
        CS_YUY2 = 1 << 2 | CS_YUV | CS_INTERLEAVED,
        CS_YV12 = 1 << 3 | CS_YUV | CS_PLANAR,
        CS_I420 = 1 << 4 | CS_YUV | CS_PLANAR,
        CS_IYUV = CS_I420
    };
    int pixel_type = CS_UNKNOWN;

    int audio_samples_per_second = 0;  // the host's clips carry no audio
    int sample_type = 0;
    int64_t num_audio_samples = 0;
    int nchannels = 0;

    // Field flags: IT_BFF/IT_TFF give the parity when it is known, IT_FIELDBASED marks a clip whose
    // frames are single fields.
    enum { IT_BFF = 1 << 0, IT_TFF = 1 << 1, IT_FIELDBASED = 1 << 2 };
    int image_type = 0;

    bool HasVideo() const { return width != 0; }
    bool HasAudio() const { return audio_samples_per_second != 0; }
    bool IsRGB() const { return (pixel_type & CS_BGR) != 0; }
    bool IsRGB24() const { return (pixel_type & CS_BGR24) == CS_BGR24; }
    bool IsRGB32() const { return (pixel_type & CS_BGR32) == CS_BGR32; }
    bool IsYUV() const { return (pixel_type & CS_YUV) != 0; }
    bool IsYUY2() const { return (pixel_type & CS_YUY2) == CS_YUY2; }
    // Planar 4:2:0 in either plane order: I420 counts as YV12 here, IsI420 tells them apart.
    bool IsYV12() const {
        return (pixel_type & CS_YV12) == CS_YV12 || (pixel_type & CS_I420) == CS_I420;
    }
    bool IsI420() const { return (pixel_type & CS_I420) == CS_I420; }
    bool IsColorSpace(int c_space) const { return (pixel_type & c_space) == c_space; }
    bool Is(int property) const { return (pixel_type & property) == property; }
    bool IsPlanar() const { return (pixel_type & CS_PLANAR) != 0; }
    bool IsFieldBased() const { return (image_type & IT_FIELDBASED) != 0; }
    bool IsParityKnown() const {
        return (image_type & IT_FIELDBASED) != 0 && (image_type & (IT_BFF | IT_TFF)) != 0;
    }
    bool IsBFF() const { return (image_type & IT_BFF) != 0; }
    bool IsTFF() const { return (image_type & IT_TFF) != 0; }
    bool IsVPlaneFirst() const { return (pixel_type & CS_YV12) == CS_YV12; }

    int BitsPerPixel() const {
        if (IsRGB32()) return 32;
        if (IsRGB24()) return 24;
        if (IsYUY2()) return 16;
        if (IsYV12()) return 12;
        return 0;
    }
    int BytesFromPixels(int pixels) const {
        if (IsPlanar()) return pixels;  // luma bytes
        return pixels * (BitsPerPixel() >> 3);
    }
    // Bytes per line of a plane (0 or PLANAR_Y: luma or the packed picture).
    int RowSize(int plane = 0) const {
        if (IsPlanar() && (plane == PLANAR_U || plane == PLANAR_V)) return width >> 1;
        return BytesFromPixels(width);
    }
    // Lines of a plane.
    int PlaneHeight(int plane = 0) const {
        if (IsPlanar() && (plane == PLANAR_U || plane == PLANAR_V)) return height >> 1;
        return height;
    }
    int64_t BMPSize() const {
        if (IsPlanar()) {
            int64_t luma = int64_t(RowSize()) * height;
            return luma + 2 * int64_t(RowSize(PLANAR_U)) * PlaneHeight(PLANAR_U);
        }
        return int64_t(RowSize()) * height;
    }

    void SetFieldBased(bool isfieldbased) {
        if (isfieldbased)
            image_type |= IT_FIELDBASED;
        else
            image_type &= ~IT_FIELDBASED;
    }
    void Set(int property) { image_type |= property; }
    void Clear(int property) { image_type &= ~property; }
    bool IsSameColorspace(const VideoInfo& vi) const {
        if (vi.pixel_type == pixel_type) return true;
        return IsYV12() && vi.IsYV12();
    }

    // Sets the rate reduced to lowest terms.
    void SetFPS(unsigned numerator, unsigned denominator) {
        uint64_t x = numerator, y = denominator;
        while (y) {
            uint64_t t = x % y;
            x = y;
            y = t;
        }
        if (x == 0) x = 1;
        fps_numerator = unsigned(numerator / x);
        fps_denominator = unsigned(denominator / x);
    }
    // Multiplies the rate by multiplier/divisor, reduced; when the exact result does not fit,
    // both terms are scaled down together.
    void MulDivFPS(unsigned multiplier, unsigned divisor) {
        uint64_t num = uint64_t(fps_numerator) * multiplier;
        uint64_t den = uint64_t(fps_denominator) * divisor;
        uint64_t x = num, y = den;
        while (y) {
            uint64_t t = x % y;
            x = y;
            y = t;
        }
        if (x == 0) x = 1;
        num /= x;
        den /= x;
        while (num > 0xFFFFFFFFull || den > 0xFFFFFFFFull) {
            num >>= 1;
            den >>= 1;
        }
        if (den == 0) den = 1;
        fps_numerator = unsigned(num);
        fps_denominator = unsigned(den);
    }
};

// ---------------------------------------------------------------------------------------------
// VideoFrame: a picture with up to three planes. Frames are created by the environment
// (NewVideoFrame) and by the host's filters; several frames may share one pixel buffer
// (selection, trimming and field views). A frame is writable when nobody else holds it or its
// buffer; IScriptEnvironment::MakeWritable makes it so.
class VideoFrame {
    friend class PVideoFrame;
    int refcount_ = 0;
    void AddRef() { ++refcount_; }
    void Release() {
        if (--refcount_ == 0) delete this;
    }

  protected:
    VideoFrame() = default;
    int RefCount() const { return refcount_; }

  public:
    VideoFrame(const VideoFrame&) = delete;
    VideoFrame& operator=(const VideoFrame&) = delete;
    virtual ~VideoFrame() = default;

    virtual int GetPitch(int plane = 0) const = 0;
    virtual int GetRowSize(int plane = 0) const = 0;
    virtual int GetHeight(int plane = 0) const = 0;
    virtual const BYTE* GetReadPtr(int plane = 0) const = 0;
    // Null when the frame is not writable.
    virtual BYTE* GetWritePtr(int plane = 0) const = 0;
    virtual bool IsWritable() const = 0;
};

class PVideoFrame {
    VideoFrame* p_ = nullptr;

  public:
    PVideoFrame() = default;
    PVideoFrame(VideoFrame* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    PVideoFrame(const PVideoFrame& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    PVideoFrame(PVideoFrame&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    PVideoFrame& operator=(VideoFrame* p) {
        if (p) p->AddRef();
        if (p_) p_->Release();
        p_ = p;
        return *this;
    }
    PVideoFrame& operator=(const PVideoFrame& o) { return *this = o.p_; }
    PVideoFrame& operator=(PVideoFrame&& o) noexcept {
        if (this != &o) {
            if (p_) p_->Release();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~PVideoFrame() {
        if (p_) p_->Release();
    }
    VideoFrame* operator->() const { return p_; }
    VideoFrame& operator*() const { return *p_; }
    VideoFrame* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator!() const { return p_ == nullptr; }
};

// ---------------------------------------------------------------------------------------------
// IClip: a clip holds its own reference count, so `this` can be wrapped into a PClip while other
// references exist.
class IClip {
    friend class PClip;
    friend class AVSValue;
    int refcnt_ = 0;
    void AddRef() { ++refcnt_; }
    void Release() {
        if (--refcnt_ == 0) delete this;
    }

  public:
    IClip() = default;
    IClip(const IClip&) = delete;
    IClip& operator=(const IClip&) = delete;

    virtual int GetVersion() { return AVISYNTH_INTERFACE_VERSION; }
    virtual PVideoFrame GetFrame(int n, IScriptEnvironment* env) = 0;
    // For a field-based clip: true when field n is a top field. Otherwise: true when frame n's
    // top field comes first.
    virtual bool GetParity(int n) = 0;
    virtual void GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) = 0;
    virtual void SetCacheHints(int cachehints, int frame_range) = 0;
    virtual const VideoInfo& GetVideoInfo() = 0;
    virtual ~IClip() = default;
};

class PClip {
    IClip* p_ = nullptr;

  public:
    PClip() = default;
    PClip(IClip* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    PClip(const PClip& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    PClip(PClip&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    PClip& operator=(IClip* p) {
        if (p) p->AddRef();
        if (p_) p_->Release();
        p_ = p;
        return *this;
    }
    PClip& operator=(const PClip& o) { return *this = o.p_; }
    PClip& operator=(PClip&& o) noexcept {
        if (this != &o) {
            if (p_) p_->Release();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~PClip() {
        if (p_) p_->Release();
    }
    IClip* operator->() const { return p_; }
    IClip& operator*() const { return *p_; }
    IClip* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator!() const { return p_ == nullptr; }
};

// ---------------------------------------------------------------------------------------------
// AVSValue: a script value. Strings are not owned (the environment keeps them, see SaveString);
// an array refers to elements owned by whoever built it, which must outlive the value.
class AVSValue {
  public:
    AVSValue() = default;
    AVSValue(IClip* c) : type_('c') {
        clip_ = c;
        if (c) c->AddRef();
    }
    AVSValue(const PClip& c) : AVSValue(c.get()) {}
    AVSValue(bool b) : type_('b') { boolean_ = b; }
    AVSValue(int i) : type_('i') { integer_ = i; }
    AVSValue(float f) : type_('f') { floating_pt_ = f; }
    AVSValue(double f) : type_('f') { floating_pt_ = f; }
    AVSValue(const char* s) : type_('s') { string_ = s; }
    AVSValue(const AVSValue* a, int size) : type_('a'), array_size_(size) { array_ = a; }
    AVSValue(const AVSValue& v) { Assign(v); }
    ~AVSValue() { Drop(); }
    AVSValue& operator=(const AVSValue& v) {
        if (this != &v) {
            if (v.type_ == 'c' && v.clip_) v.clip_->AddRef();  // v may be held only through *this
            Drop();
            Assign(v);
            if (v.type_ == 'c' && v.clip_) v.clip_->Release();
        }
        return *this;
    }

    bool Defined() const { return type_ != 'v'; }
    bool IsClip() const { return type_ == 'c'; }
    bool IsBool() const { return type_ == 'b'; }
    bool IsInt() const { return type_ == 'i'; }
    bool IsFloat() const { return type_ == 'f' || type_ == 'i'; }
    bool IsString() const { return type_ == 's'; }
    bool IsArray() const { return type_ == 'a'; }
    // 'v' void, 'c' clip, 'b' bool, 'i' int, 'f' float, 's' string, 'a' array.
    char GetType() const { return type_; }

    // The readers return an empty value when the type does not match.
    PClip AsClip() const { return IsClip() ? PClip(clip_) : PClip(); }
    bool AsBool() const { return IsBool() ? boolean_ : false; }
    int AsInt() const { return IsInt() ? integer_ : 0; }
    const char* AsString() const { return IsString() ? string_ : nullptr; }
    double AsFloat() const {
        return IsInt() ? double(integer_) : type_ == 'f' ? floating_pt_ : 0.0;
    }

    // The readers with a default return it when the value is of another type (or void).
    bool AsBool(bool def) const { return IsBool() ? boolean_ : def; }
    int AsInt(int def) const { return IsInt() ? integer_ : def; }
    double AsFloat(double def) const { return IsFloat() ? AsFloat() : def; }
    const char* AsString(const char* def) const { return IsString() ? string_ : def; }

    // A value that is not an array counts as an array of itself.
    int ArraySize() const { return IsArray() ? array_size_ : 1; }
    const AVSValue& operator[](int index) const {
        return (IsArray() && index >= 0 && index < array_size_) ? array_[index] : *this;
    }

  private:
    void Assign(const AVSValue& v) {
        type_ = v.type_;
        array_size_ = v.array_size_;
        switch (type_) {
            case 'c':
                clip_ = v.clip_;
                if (clip_) clip_->AddRef();
                break;
            case 'b':
                boolean_ = v.boolean_;
                break;
            case 'i':
                integer_ = v.integer_;
                break;
            case 'f':
                floating_pt_ = v.floating_pt_;
                break;
            case 's':
                string_ = v.string_;
                break;
            case 'a':
                array_ = v.array_;
                break;
            default:
                integer_ = 0;
                break;
        }
    }
    void Drop() {
        if (type_ == 'c' && clip_) clip_->Release();
        type_ = 'v';
        integer_ = 0;
    }

    char type_ = 'v';
    int array_size_ = 0;
    union {
        IClip* clip_;
        bool boolean_;
        int integer_ = 0;
        double floating_pt_;
        const char* string_;
        const AVSValue* array_;
    };
};

// ---------------------------------------------------------------------------------------------
// AvisynthError: a script or filter failure. The text is kept by the environment that raised it.
class AvisynthError {
  public:
    const char* const msg;
    explicit AvisynthError(const char* m) : msg(m) {}
};

// ---------------------------------------------------------------------------------------------
class IScriptEnvironment {
  public:
    virtual ~IScriptEnvironment() = default;

    // Thrown by Invoke when no function of that name accepts the arguments, and by GetVar for an
    // unknown variable.
    class NotFound {};

    typedef AVSValue (*ApplyFunc)(AVSValue args, void* user_data, IScriptEnvironment* env);

    // Keeps a copy of s (length -1: up to the terminating zero) for the life of the environment.
    virtual char* SaveString(const char* s, int length = -1) = 0;
    // Formats printf-style; the text is kept for the life of the environment.
    virtual const char* VSprintf(const char* fmt, va_list args) = 0;
    const char* Sprintf(const char* fmt, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        va_list ap;
        va_start(ap, fmt);
        const char* text = VSprintf(fmt, ap);
        va_end(ap);
        return text;
    }
    // Formats printf-style and throws AvisynthError with the text.
    [[noreturn]] void ThrowError(const char* fmt, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        va_list ap;
        va_start(ap, fmt);
        const char* text = VSprintf(fmt, ap);
        va_end(ap);
        throw AvisynthError(text);
    }

    // Registers a script function. params lists the parameters: one type letter each
    // (c clip, i int, f float, s string, b bool, . any), optionally followed by * (zero or more)
    // or + (one or more), and optionally preceded by [name] for an optional named parameter.
    // A name registered again resolves to the newest registration.
    virtual void AddFunction(const char* name, const char* params, ApplyFunc apply,
                             void* user_data) = 0;
    virtual bool FunctionExists(const char* name) = 0;
    // Calls a script function; args is an array of arguments (a single non-array value counts as
    // one argument); arg_names, when given, holds a name or null for each argument.
    virtual AVSValue Invoke(const char* name, const AVSValue args,
                            const char* const* arg_names = nullptr) = 0;

    // Reads a variable (local scope first, then global); throws NotFound when it is not set.
    virtual AVSValue GetVar(const char* name) = 0;
    virtual bool SetVar(const char* name, const AVSValue& val) = 0;
    virtual bool SetGlobalVar(const char* name, const AVSValue& val) = 0;

    virtual PVideoFrame NewVideoFrame(const VideoInfo& vi, int align = FRAME_ALIGN) = 0;
    // Gives *pvf a picture of its own when others share it (copying the pixels); returns true
    // when it copied.
    virtual bool MakeWritable(PVideoFrame* pvf) = 0;
    virtual void BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
                        int height) = 0;
};

// ---------------------------------------------------------------------------------------------
// GenericVideoFilter: the usual base of a filter with one source clip.
class GenericVideoFilter : public IClip {
  protected:
    PClip child;
    VideoInfo vi;

  public:
    explicit GenericVideoFilter(PClip _child) : child(_child) { vi = child->GetVideoInfo(); }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        return child->GetFrame(n, env);
    }
    void GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) override {
        child->GetAudio(buf, start, count, env);
    }
    const VideoInfo& GetVideoInfo() override { return vi; }
    bool GetParity(int n) override { return child->GetParity(n); }
    void SetCacheHints(int, int) override {}
};

#endif  // AVISYNTH_H

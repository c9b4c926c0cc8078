#include "firewire/Recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/Paths.h"
#include "base/Translate.h"

namespace FWLib {

namespace {

std::string Status(IOReturn status) {
    return "\"status\":" + std::to_string(status);
}

class RecordingDevice final : public DeviceInterface {
public:
    RecordingDevice(std::unique_ptr<DeviceInterface> inner, std::shared_ptr<Recorder> recorder,
                    std::string unit)
        : mInner(std::move(inner)), mRecorder(std::move(recorder)), mUnit(std::move(unit)) {}

    UInt32 GetDevice() const override { return mInner->GetDevice(); }
    IOReturn Open() override {
        const IOReturn status = mInner->Open();
        mRecorder->Event("\"ev\":\"open\",\"unit\":" + mUnit + "," + Status(status));
        return status;
    }
    void Close() override {
        mInner->Close();
        mRecorder->Event("\"ev\":\"close\",\"unit\":" + mUnit);
    }
    IOReturn GetBusGeneration(UInt32& generation) override {
        const IOReturn status = mInner->GetBusGeneration(generation);
        mRecorder->Event("\"ev\":\"generation\",\"unit\":" + mUnit + "," + Status(status) +
                         ",\"generation\":" + std::to_string(generation));
        return status;
    }
    IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                  bool failOnReset, UInt32 generation) override {
        const UInt32 asked = size;
        const IOReturn status = mInner->Read(device, addr, buf, size, failOnReset, generation);
        Request("bread", addr, asked, nullptr, status, static_cast<UInt8*>(buf), size, generation);
        return status;
    }
    IOReturn Write(UInt32 device, const FWAddressStruct& addr, const void* buf, UInt32& size,
                   bool failOnReset, UInt32 generation) override {
        const UInt32 asked = size;
        const IOReturn status = mInner->Write(device, addr, buf, size, failOnReset, generation);
        Request("bwrite", addr, asked, static_cast<const UInt8*>(buf), status, nullptr, 0,
                generation);
        return status;
    }
    IOReturn ReadQuadlet(UInt32 device, const FWAddressStruct& addr, Quadlet& value,
                         bool failOnReset, UInt32 generation) override {
        const IOReturn status = mInner->ReadQuadlet(device, addr, value, failOnReset, generation);
        Request("qread", addr, 4, nullptr, status, value.data(), 4, generation);
        return status;
    }
    IOReturn WriteQuadlet(UInt32 device, const FWAddressStruct& addr, const Quadlet& value,
                          bool failOnReset, UInt32 generation) override {
        const IOReturn status = mInner->WriteQuadlet(device, addr, value, failOnReset, generation);
        Request("qwrite", addr, 4, value.data(), status, nullptr, 0, generation);
        return status;
    }

private:
    // One line per transaction, put together in a buffer of this device's
    // own: the block loop pays one formatted write for it.
    void Request(const char* kind, const FWAddressStruct& addr, UInt32 length, const UInt8* out,
                 IOReturn status, const UInt8* in, UInt32 got, UInt32 generation) {
        mLine.assign("\"ev\":\"request\",\"unit\":");
        mLine += mUnit;
        mLine += ",\"kind\":\"";
        mLine += kind;
        Append("\",\"addr\":\"0x%016llx\",\"len\":%u",
               static_cast<unsigned long long>(addr.Offset()), length);
        if (out && length > kLiteralBlockBytes)
            mLine += ",\"fnv1a\":\"" + ImageHash(out, length) + "\"";
        else if (out)
            mLine += ",\"data\":\"" + HexText(out, length) + "\"";
        Append(",\"status\":%d,\"generation\":%u", status, generation);
        if (in && status == kIOReturnSuccess)
            mLine += ",\"reply\":\"" + Reply(addr, in, got) + "\"";
        mRecorder->Event(mLine);
    }
    template <class... Args>
    void Append(const char* format, Args... args) {
        char text[96];
        const int n = std::snprintf(text, sizeof text, format, args...);
        mLine.append(text, static_cast<std::size_t>(std::max(0, n)));
    }
    std::string Reply(const FWAddressStruct& addr, const UInt8* in, UInt32 got) const {
        const auto& settings = mRecorder->Settings();
        if (settings.anonymous && addr.Offset() == settings.serialAddress)
            return HexText(std::vector<UInt8>(got, '0').data(), got);  // a serial number of zeros
        return HexText(in, got);
    }

    std::unique_ptr<DeviceInterface> mInner;
    std::shared_ptr<Recorder> mRecorder;
    std::string mUnit;  // quoted
    std::string mLine;
};

class RecordingPlugIn final : public PlugInInterface {
public:
    RecordingPlugIn(std::unique_ptr<PlugInInterface> inner, std::shared_ptr<Recorder> recorder,
                    std::string unit)
        : mInner(std::move(inner)), mRecorder(std::move(recorder)), mUnit(std::move(unit)) {}
    IOReturn QueryInterface(std::unique_ptr<DeviceInterface>& device) override {
        std::unique_ptr<DeviceInterface> inner;
        const IOReturn status = mInner->QueryInterface(inner);
        mRecorder->Event("\"ev\":\"interface\",\"unit\":" + mUnit + "," + Status(status));
        if (inner) device = std::make_unique<RecordingDevice>(std::move(inner), mRecorder, mUnit);
        return status;
    }

private:
    std::unique_ptr<PlugInInterface> mInner;
    std::shared_ptr<Recorder> mRecorder;
    std::string mUnit;
};

class RecordingService final : public Service {
public:
    RecordingService(io_service_t inner, std::shared_ptr<Recorder> recorder)
        : mInner(std::move(inner)), mRecorder(std::move(recorder)) {}
    const UnitInfo& Info() const override { return mInner->Info(); }
    IOReturn CreatePlugInInterface(std::unique_ptr<PlugInInterface>& plugIn) const override {
        std::unique_ptr<PlugInInterface> inner;
        const IOReturn status = mInner->CreatePlugInInterface(inner);
        const std::string unit = TextJson(Info().name);
        mRecorder->Event("\"ev\":\"plugin\",\"unit\":" + unit + "," + Status(status));
        if (inner) plugIn = std::make_unique<RecordingPlugIn>(std::move(inner), mRecorder, unit);
        return status;
    }

private:
    io_service_t mInner;
    std::shared_ptr<Recorder> mRecorder;
};

class RecordedBus final : public Bus {
public:
    RecordedBus(std::shared_ptr<Bus> inner, std::shared_ptr<Recorder> recorder)
        : mInner(std::move(inner)), mRecorder(std::move(recorder)) {}

    IOReturn GetMatchingServices(const MatchingDictionary& match,
                                 std::vector<io_service_t>& services) override {
        std::vector<io_service_t> found;
        const IOReturn status = mInner->GetMatchingServices(match, found);
        std::string units;
        services.clear();
        for (auto& s : found) {
            units += (units.empty() ? "" : ",") + UnitJson(s->Info());
            services.push_back(std::make_shared<RecordingService>(s, mRecorder));
        }
        mRecorder->Event("\"ev\":\"discovery\"," + Status(status) + ",\"units\":[" + units + "]");
        return status;
    }
    BusSurvey Survey() override {
        BusSurvey survey = mInner->Survey();
        std::string nodes;
        for (const auto& n : survey.nodes) nodes += (nodes.empty() ? "" : ",") + UnitJson(n);
        mRecorder->Event(std::string("\"ev\":\"survey\",\"controller\":") +
                         (survey.controller ? "true" : "false") + ",\"nodes\":[" + nodes + "]");
        return survey;
    }

private:
    std::string UnitJson(const UnitInfo& u) {
        return "{\"name\":" + TextJson(u.name) + ",\"node\":" + TextJson(u.deviceNode) +
               ",\"guid\":\"" + GuidText(mRecorder->Guid(u.guid)) +
               "\",\"unit_spec_id\":" + std::to_string(u.unitSpecID) +
               ",\"unit_sw_version\":" + std::to_string(u.unitSWVersion) +
               ",\"vendor\":" + TextJson(u.vendor) + ",\"model\":" + TextJson(u.model) + "}";
    }

    std::shared_ptr<Bus> mInner;
    std::shared_ptr<Recorder> mRecorder;
};

// The clock of a wait for a restart, read from the moment the wait began.
class RecordingClock final : public ky::Clock {
public:
    RecordingClock(std::shared_ptr<ky::Clock> inner, std::shared_ptr<Recorder> recorder)
        : mInner(std::move(inner)), mRecorder(std::move(recorder)), mStart(mInner->NowMicros()) {}
    std::uint64_t NowMicros() const override {
        const std::uint64_t now = mInner->NowMicros() - mStart;
        mRecorder->Event("\"ev\":\"clock\",\"now\":" + std::to_string(now));
        return now;
    }
    void SleepMicros(std::uint64_t micros) override { mInner->SleepMicros(micros); }

private:
    std::shared_ptr<ky::Clock> mInner;
    std::shared_ptr<Recorder> mRecorder;
    std::uint64_t mStart;
};

}  // namespace

namespace {

// Whether a finished recording may take `file`'s place: nothing is there
// yet, or a regular file (a link is not followed, a FIFO not waited on).
ky::Done MayBeReplaced(const std::filesystem::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) {
        if (errno == ENOENT) return {};
        return ky::Error(ky::FileError(N_("cannot use {1}"), file, errno));
    }
    if (S_ISREG(st.st_mode)) return {};
    return ky::Error(ky::Fill(
        S_ISLNK(st.st_mode) ? ky::Tr("refusing to use {1}: it is a symbolic link, which is not "
                                     "followed")
                            : ky::Tr("refusing to use {1}: it is not a regular file"),
        {file.string()}));
}

}  // namespace

ky::Result<std::shared_ptr<Recorder>> Recorder::Create(const std::filesystem::path& file,
                                                       Options options) {
    if (ky::Done free = MayBeReplaced(file); !free) return free.Failure();
    const std::filesystem::path partial =
        file.string() + "." + std::to_string(::getpid()) + ".partial";
    const auto fd = ky::OpenPrivateFile(partial, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!fd) return fd.Failure();
    auto recorder = std::shared_ptr<Recorder>(new Recorder(*fd, std::move(options)));
    recorder->mFinal = file;
    recorder->mPartial = partial;
    recorder->mOut << "{\"format\":\"kyfw-recording\",\"version\":" << kRecordingFormatVersion
                   << ",\"program\":" << TextJson(recorder->mOptions.program)
                   << ",\"firewire_abi\":" << kRecordingFirewireAbi
                   << ",\"image_data\":\"fnv1a-64\",\"anonymous\":"
                   << (recorder->mOptions.anonymous ? "true" : "false") << "}\n";
    return recorder;
}

Recorder::Recorder(int fd, Options options)
    : mOptions(std::move(options)),
      mFile(fd, true),
      mOut(&mFile),
      mLast(std::chrono::steady_clock::now()) {}

Recorder::~Recorder() {
    (void)Finish();
}

void Recorder::Event(const std::string& fields) {
    std::lock_guard lock(mMutex);
    const auto now = std::chrono::steady_clock::now();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - mLast).count();
    mLast = now;
    char head[32];
    const int n = std::snprintf(head, sizeof head, "{\"t\":%lld,", static_cast<long long>(micros));
    mOut.write(head, n);
    mOut.write(fields.data(), static_cast<std::streamsize>(fields.size()));
    mOut.write("}\n", 2);
}

UInt64 Recorder::Guid(UInt64 guid) {
    if (!mOptions.anonymous) return guid;
    std::lock_guard lock(mMutex);
    auto it = std::find(mGuids.begin(), mGuids.end(), guid);
    if (it == mGuids.end()) it = mGuids.insert(mGuids.end(), guid);
    return static_cast<UInt64>(it - mGuids.begin()) + 1;
}

ky::Done Recorder::Flush() {
    std::lock_guard lock(mMutex);
    mOut.flush();
    if (mFile.Error()) return ky::Error(mFile.ErrorText());
    return {};
}

ky::Done Recorder::Finish() {
    std::lock_guard lock(mMutex);
    if (!mFinished) {
        mFinished = true;
        mOut.flush();
        (void)mFile.Finish();  // its failure stays in Error()
        if (::rename(mPartial.c_str(), mFinal.c_str()) != 0)
            // TRANSLATORS: {1} is why the recording is not at its place, {2} the
            // file it is kept in instead.
            mProblem = ky::Fill(
                ky::Tr("{1} (it is kept as {2})"),
                {ky::FileError(N_("cannot move the recording into place as {1}"), mFinal, errno),
                 mPartial.string()});
    }
    if (!mProblem.empty()) return ky::Error(mProblem);
    if (mFile.Error()) return ky::Error(mFile.ErrorText());
    return {};
}

std::shared_ptr<Bus> RecordingBus(std::shared_ptr<Bus> bus, std::shared_ptr<Recorder> recorder) {
    return std::make_shared<RecordedBus>(std::move(bus), std::move(recorder));
}

ky::RestartWait RecordRestart(std::shared_ptr<Recorder> recorder, ky::RestartWait wait) {
    recorder->Event("\"ev\":\"restart\",\"wait_seconds\":" + std::to_string(wait.waitSeconds));
    wait.clock = std::make_shared<RecordingClock>(wait.clock, recorder);
    wait.stop = [stop = wait.stop, recorder, said = false]() mutable {
        const bool stopped = stop();
        if (stopped && !said) recorder->Event("\"ev\":\"stop\"");
        said = said || stopped;
        return stopped;
    };
    return wait;
}

}  // namespace FWLib

#include "host/library_store.h"
#include "host/library_track.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/json_parser.h"
#include "core/json_writer.h"
#include "core/track_key.h"
#include "core/uuid.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "tests/platform/ffmpeg/test_media.h"

namespace merriphonic {
namespace {

namespace fs = std::filesystem;
using State = LibraryTrack::State;
using testmedia::media;

// Background work that holds its tasks until the test runs them, to stand for a worker that
// is still busy. Copies of picked files are held only when holdImports is set; otherwise they
// run at once, as on the inline worker.
class HeldWork final : public BackgroundWork {
public:
    HeldWork(SimRunLoop& main, SimWorld& world) : BackgroundWork(main), world_(world) {}
    void execute(std::string label, Task task) override {
        if (label == LibraryStore::importLabel && !holdImports) {
            world_.runOutsideLoops(task);
            return;
        }
        tasks_.push_back(std::move(task));
    }
    void runNext() {
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        world_.runOutsideLoops(task);
    }
    std::deque<Task> tasks_;
    bool holdImports = false;

private:
    SimWorld& world_;
};

// Makes every file write beyond `bytes` fail as a full disk would, while it lives.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN); // a failed write rather than a killed process
        getrlimit(RLIMIT_FSIZE, &previous);
        const rlimit limit{bytes, previous.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &previous); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    rlimit previous{};
};

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

class LibraryStoreTest : public ::testing::Test {
protected:
    LibraryStoreTest() { device.context().media = &toolkit; }

    DeviceContext& context() { return device.context(); }
    // The device with preparation held back until the test releases it.
    DeviceContext heldContext() {
        DeviceContext& c = device.context();
        return DeviceContext{c.clock, c.main,    c.streams, held,    c.log,
                             c.prefs, c.folders, nullptr,   &toolkit};
    }
    fs::path folder() const { return device.folders().data / "library"; }
    fs::path index() const { return folder() / "library.json"; }
    std::vector<LibraryTrack> savedIndex() const {
        return LibraryTrack::decodeList(JsonParser::parse(readText(index())));
    }

    // The folder holds the index and exactly these files.
    void expectFiles(std::vector<std::string> expected) const {
        expected.emplace_back("library.json");
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(names, expected);
    }
    // A generated file under a name of the test's choosing.
    fs::path picked(const std::string& recipe, const std::string& name) {
        fs::path file = device.folders().temp / name;
        fs::copy_file(media().get(recipe), file, fs::copy_options::overwrite_existing);
        return file;
    }
    void expectReady(const LibraryTrack& entry, const std::string& ext) {
        EXPECT_EQ(entry.state, State::ready) << entry.error.value_or("");
        ASSERT_TRUE(entry.wireFile && entry.size && entry.trackKey);
        const fs::path wire = folder() / *entry.wireFile;
        EXPECT_EQ(entry.ext, ext);
        EXPECT_EQ(*entry.size, static_cast<int64_t>(fs::file_size(wire)));
        EXPECT_EQ(*entry.trackKey, TrackKey::of(wire).hex());
        EXPECT_NEAR(static_cast<double>(entry.durationMs), 3000.0, 60.0);
        EXPECT_FALSE(entry.error);
    }

    SimWorld world;
    SimDevice device{world, "host"};
    FfmpegMediaToolkit toolkit;
    HeldWork held{device.main(), world};
};

// Small compressed files pass through as they are; the rest is transcoded. Entries keep their
// import order and are saved while still preparing; files without audio end failed.
TEST_F(LibraryStoreTest, ImportsInOrderPassingThroughTranscodingOrFailing) {
    DeviceContext heldDevice = heldContext();
    const auto store = LibraryStore::create(heldDevice);
    store->importFiles({picked("chirp-64k.mp3", "Low.MP3"), picked("chirp-320k.mp3", "High.mp3"),
                        picked("chirp.wav", "Wave.WAV"), device.folders().temp / "missing.mp3"});
    store->importFiles({picked("song", "NoExtension"), picked("tagged.mp3", "file-name.mp3"),
                        picked("picture.png", "picture.png")});
    world.runUntilIdle();
    ASSERT_EQ(store->tracks->size(), 6U);
    EXPECT_EQ(store->tracks->front().state, State::preparing);
    EXPECT_EQ(savedIndex(), store->tracks.get());
    while (!held.tasks_.empty()) {
        held.runNext();
    }
    world.runUntilIdle();

    const std::vector<LibraryTrack>& list = store->tracks.get();
    const std::vector<std::string> titles{"Low",         "High",         "Wave",
                                          "NoExtension", "Ünïcode Song", "picture"};
    const std::vector<std::string> sources{".src.mp3", ".src.mp3", ".src.wav",
                                           ".src",     ".src.mp3", ".src.png"};
    const std::vector<std::string> wires{".src.mp3", ".wire.m4a", ".wire.m4a", ".wire.m4a",
                                         ".src.mp3"};
    std::vector<std::string> files;
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].title, titles[i]);
        EXPECT_EQ(list[i].sourceFile, list[i].id + sources[i]);
        files.push_back(list[i].sourceFile);
        if (i < wires.size()) {
            EXPECT_EQ(list[i].wireFile, list[i].id + wires[i]);
            expectReady(list[i], wires[i].substr(wires[i].rfind('.') + 1));
            if (list[i].wireFile != list[i].sourceFile) {
                files.push_back(*list[i].wireFile);
            }
        }
    }
    expectFiles(files);
    EXPECT_EQ(savedIndex(), list);
    EXPECT_EQ(list[5].state, State::failed);
    EXPECT_EQ(list[5].error, "Can't use this file: No audio track");
}

// importFiles returns at once: the copies run on a worker, one file after another across
// calls, and each file becomes an entry only once its copy is whole.
TEST_F(LibraryStoreTest, CopiesRunOffTheMainLoopOneAtATime) {
    held.holdImports = true;
    DeviceContext heldDevice = heldContext();
    const auto store = LibraryStore::create(heldDevice);
    const fs::path big = device.folders().temp / "big.mp3";
    writeText(big, std::string(2 * LibraryStore::importProgressBytes + 1000, 'x'));

    store->importFiles({picked("chirp-64k.mp3", "a.mp3"), big});
    store->importFiles({picked("chirp-320k.mp3", "c.mp3")});
    EXPECT_TRUE(store->tracks->empty());
    EXPECT_TRUE(fs::is_empty(folder())) << "nothing copied on the main loop";
    const int64_t bigSize = 2 * LibraryStore::importProgressBytes + 1000;
    EXPECT_EQ(store->importing->at(1), (LibraryStore::PendingImport{"big.mp3", 0, bigSize}));
    ASSERT_EQ(held.tasks_.size(), 1U) << "one copy at a time";

    held.runNext();
    world.runUntilIdle();
    ASSERT_EQ(store->tracks->size(), 1U);
    EXPECT_EQ(store->tracks->front().title, "a");
    EXPECT_EQ(store->tracks->front().state, State::preparing);
    EXPECT_EQ(savedIndex(), store->tracks.get());
    EXPECT_EQ(store->importing->size(), 2U);
    while (!held.tasks_.empty()) {
        held.runNext();
        world.runUntilIdle();
    }
    ASSERT_EQ(store->tracks->size(), 3U);
    EXPECT_TRUE(store->importing->empty());
    EXPECT_EQ(readText(folder() / store->tracks->at(1).sourceFile).size(),
              static_cast<size_t>(bigSize));
}

TEST_F(LibraryStoreTest, RemovalDuringPreparationLeavesNothingBehind) {
    const auto store = LibraryStore::create(context());
    // The inline worker has already made the wire file; its result waits on the main loop.
    store->importFiles({picked("chirp.wav", "a.wav")});
    while (store->tracks->empty()) {
        world.step(); // the copy's result: the entry, then its preparation on the spot
    }
    const std::string id = store->tracks->front().id;
    EXPECT_TRUE(fs::exists(folder() / (id + ".wire.m4a")));
    store->remove(id);
    world.runUntilIdle();
    EXPECT_TRUE(store->tracks->empty());
    expectFiles({});
    EXPECT_EQ(readText(index()), "[]");
}

TEST_F(LibraryStoreTest, RestartPreparesOnlyInterruptedEntriesAndSweepsStrayFiles) {
    DeviceContext heldDevice = heldContext();
    auto first = LibraryStore::create(heldDevice);
    first->importFiles({picked("chirp-64k.mp3", "ready.mp3"), picked("picture.png", "bad.png"),
                        picked("chirp.wav", "interrupted.wav")});
    world.runUntilIdle();
    held.runNext();
    held.runNext();
    world.runUntilIdle();
    const std::vector<LibraryTrack> before = first->tracks.get();
    ASSERT_EQ(before[2].state, State::preparing);
    first.reset();
    held.tasks_.clear();
    world.runUntilIdle();
    // Left by a run that stopped between copying and saving, or in the middle of a save.
    const std::string strayId = randomUuid();
    writeText(folder() / (strayId + ".src.mp3"), "x");
    writeText(folder() / (strayId + ".wire.m4a"), "x");
    writeText(folder() / "library.json.tmp-AbC123", "[");

    const uint64_t prepared = device.background().executedCount();
    const auto second = LibraryStore::create(context());
    EXPECT_EQ(device.background().executedCount(), prepared + 1);
    world.runUntilIdle();
    const std::vector<LibraryTrack>& after = second->tracks.get();
    ASSERT_EQ(after.size(), 3U);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1], before[1]);
    EXPECT_EQ(after[1].state, State::failed);
    expectReady(after[2], "m4a");
    expectFiles(
        {before[0].sourceFile, before[1].sourceFile, before[2].sourceFile, *after[2].wireFile});
}

TEST_F(LibraryStoreTest, KeepsAnUnreadableIndexWithItsFilesAndNeverReplacesAnOlderCopy) {
    fs::create_directories(folder());
    const std::string id = randomUuid();
    const std::vector<std::string> oldFiles{id + ".src.wav", id + ".wire.m4a"};
    const std::string unknownState =
        R"([{"id":")" + id + R"(","title":"Old","artist":"","durationMs":0,"sourceFile":")" +
        oldFiles[0] + R"(","wireFile":")" + oldFiles[1] + R"(","state":"done"}])";
    writeText(index(), unknownState);
    for (const std::string& name : oldFiles) {
        writeText(folder() / name, "the user's song");
    }

    auto store = LibraryStore::create(context());
    EXPECT_TRUE(store->tracks->empty());
    store->importFiles({picked("chirp-64k.mp3", "new.mp3")});
    world.runUntilIdle();
    EXPECT_EQ(readText(folder() / "library.json.unreadable"), unknownState);
    EXPECT_EQ(savedIndex().size(), 1U);
    // The fresh index decodes but doesn't list the old entry; the kept copy does, so a restart
    // keeps its files and clears only a leftover temporary index.
    writeText(folder() / "library.json.tmp-AbC123", "[");
    store = LibraryStore::create(context());
    world.runUntilIdle();
    ASSERT_EQ(store->tracks->size(), 1U);
    expectFiles(
        {oldFiles[0], oldFiles[1], "library.json.unreadable", store->tracks->front().sourceFile});

    writeText(index(), "[{\"id\":");
    store = LibraryStore::create(context());
    store->importFiles({picked("chirp-64k.mp3", "newer.mp3")});
    world.runUntilIdle();
    EXPECT_EQ(readText(folder() / "library.json.unreadable"), unknownState);
    EXPECT_EQ(readText(folder() / "library.json.unreadable.2"), "[{\"id\":");
}

TEST_F(LibraryStoreTest, AFullDiskLeavesTheLibraryConsistent) {
    const fs::path big = picked("chirp-320k.mp3", "big.mp3");
    const fs::path small = picked("chirp-64k.mp3", "small.mp3");
    const fs::path bare = picked("song", "bare");
    const auto store = LibraryStore::create(context());
    {
        // Room for the small copies, but neither for the big one nor for a transcoded file.
        const FileSizeLimit limit(fs::file_size(small) + 2048);
        store->importFiles({big, small, bare});
        world.runUntilIdle();
    }
    // The copy of the big one fails part-way.
    const std::vector<LibraryTrack> list = store->tracks.get();
    ASSERT_EQ(list.size(), 2U);
    expectReady(list[0], "mp3"); // a playable source stands in for its failed transcode
    EXPECT_EQ(list[1].state, State::failed);
    EXPECT_EQ(list[1].error.value_or("").rfind("Can't use this file: Transcoding failed: ", 0), 0U);
    expectFiles({list[0].sourceFile, list[1].sourceFile});

    const std::string saved = readText(index());
    {
        const FileSizeLimit limit(64);
        store->remove(list[0].id);
    }
    EXPECT_EQ(store->tracks->size(), 1U);
    // The index still lists the entry, so its files stay and a restart finds it again.
    EXPECT_EQ(readText(index()), saved);
    expectFiles({list[0].sourceFile, list[1].sourceFile});
    EXPECT_EQ(LibraryStore::create(context())->tracks.get(), list);
}

// ---- The index file ----

const std::string idA = "0F8FAD5B-D9CB-469F-A165-70867728950E";
const std::string idB = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";

std::vector<LibraryTrack> decodeText(const std::string& text) {
    return LibraryTrack::decodeList(JsonParser::parse(text));
}

TEST(LibraryTrackIndex, WritesTheIndexCompactlyLeavingOutAbsentFields) {
    const std::vector<LibraryTrack> list{
        {idA, "Song \"1\"", "Band", 183'000, idA + ".src.mp3", idA + ".src.mp3", "mp3", 2'931'000,
         "00112233aabbccdd", State::ready, std::nullopt},
        {idB, "Broken", "", 0, idB + ".src", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         State::failed, "Can't use this file: No audio track"}};
    const std::string expected =
        R"([{"id":"0F8FAD5B-D9CB-469F-A165-70867728950E","title":"Song \"1\"","artist":"Band",)"
        R"("durationMs":183000,"sourceFile":"0F8FAD5B-D9CB-469F-A165-70867728950E.src.mp3",)"
        R"("wireFile":"0F8FAD5B-D9CB-469F-A165-70867728950E.src.mp3","ext":"mp3","size":2931000,)"
        R"("trackKey":"00112233aabbccdd","state":"ready"},)"
        R"({"id":"7C9E6679-7425-40DE-944B-E07FC1F90AE7","title":"Broken","artist":"",)"
        R"("durationMs":0,"sourceFile":"7C9E6679-7425-40DE-944B-E07FC1F90AE7.src",)"
        R"("state":"failed","error":"Can't use this file: No audio track"}])";
    EXPECT_EQ(JsonWriter::string(LibraryTrack::encodeList(list)), expected);
    EXPECT_EQ(decodeText(expected), list);
    // Keys in any order, a lower-case id and a null optional are read too.
    const std::vector<LibraryTrack> read =
        decodeText(R"([{"error":null,"state":"ready","size":5,"durationMs":7,"sourceFile":"a.src",)"
                   R"("artist":"Ä","title":"T","id":"0f8fad5b-d9cb-469f-a165-70867728950e"}])");
    EXPECT_EQ(read,
              (std::vector<LibraryTrack>{{idA, "T", "Ä", 7, "a.src", std::nullopt, std::nullopt, 5,
                                          std::nullopt, State::ready, std::nullopt}}));
}

TEST(LibraryTrackIndex, RejectsTheWholeIndexForOneBadEntry) {
    const std::string good = R"({"id":")" + idA +
                             R"(","title":"T","artist":"","durationMs":0,"sourceFile":"a.src",)"
                             R"("state":"ready"})";
    auto withEntry = [&](const std::string& field, const std::string& value) {
        std::string bad = good;
        const size_t at = bad.find("\"" + field + "\":");
        const size_t end = bad.find_first_of(",}", bad.find(':', at));
        bad.replace(at, end - at, "\"" + field + "\":" + value);
        return "[" + good + "," + bad + "]";
    };
    EXPECT_NO_THROW(decodeText("[" + good + "]"));
    const std::vector<std::pair<std::string, std::string>> faults{{"state", R"("Ready")"},
                                                                  {"id", R"("not-a-uuid")"},
                                                                  {"durationMs", "1.5"},
                                                                  {"sourceFile", R"("../a.src")"},
                                                                  {"title", "null"}};
    for (const auto& [field, value] : faults) {
        EXPECT_THROW(decodeText(withEntry(field, value)), LibraryTrack::DecodeError)
            << field << "=" << value;
    }
    EXPECT_THROW(decodeText(R"({"id":"x"})"), LibraryTrack::DecodeError);
}

} // namespace
} // namespace merriphonic

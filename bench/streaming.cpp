// Streaming figures: one 20 MB track sent to one client over loopback, whole and by byte range
// (from a quarter in, as a renderer resumes or seeks); best and median of nine runs each (the
// machine is shared, so single runs vary).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "media_db/media_db.h"
#include "server/streaming.h"
#include "support/fixtures_media.h"
#include "support/http_socket_pair.h"

namespace {

struct Job {
    PlatformSocket socket;
    std::string target;
    std::string head; // the request, with or without a Range header
};

void serve(void* arg) {
    auto* job = static_cast<Job*>(arg);
    HttpRoute route = httpRouteRequest(&job->head[0]);
    MediaRequest request = {"HTTP/1.1", job->target.c_str(), route.media, false};
    httpServeTrack(job->socket, request);
    platformSocketClose(job->socket);
}

// Runs nine transfers; prints each and returns false when a socket pair cannot be had.
bool measure(const char* name, const std::string& target, const std::string& head) {
    static char buffer[1 << 18];
    std::vector<double> rates;
    for (int run = 0; run < 9; run++) {
        HttpSocketPair pair;
        if (!httpSocketPairOpen(&pair)) {
            std::printf("no socket pair\n");
            return false;
        }
        Job job{pair.server, target, head};
        pair.server = kPlatformInvalidSocket;
        auto start = std::chrono::steady_clock::now();
        PlatformThread thread;
        platformThreadStart(&thread, serve, &job);
        long total = 0;
        int n;
        while ((n = platformSocketRecv(pair.client, buffer, sizeof buffer)) > 0) {
            total += n;
        }
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        platformThreadJoin(thread);
        httpSocketPairClose(&pair);
        double rate = total / seconds / 1e9;
        std::printf("%s run %d: %ld bytes in %.4f s = %.2f GB/s\n", name, run + 1, total, seconds,
                    rate);
        rates.push_back(rate);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("streaming %s, one client on loopback: best %.2f GB/s, median %.2f GB/s\n", name,
                rates.back(), rates[rates.size() / 2]);
    return true;
}

} // namespace

int main() {
    std::string dir = fixtures::makeTempDir("bench-stream");
    std::string path = dir + "/big.mp3";
    fixtures::MpegSpec shape;
    shape.frames = 20 * 1000 * 1000 / 417;
    std::string bytes = fixtures::mpegAudio(shape);
    fixtures::writeFile(path, bytes);
    media_db_build();
    media_db_add_track(path.c_str());
    media_db_read_lock();
    std::string target =
        "/disk/" + std::to_string(media_db_object_id(media_db_top().all_tracks->first_child)) +
        ".mp3";
    media_db_read_unlock();

    std::string ranged = "GET " + target +
                         " HTTP/1.1\r\nRange: bytes=" + std::to_string(bytes.size() / 4) +
                         "-\r\n\r\n";
    bool ok = measure("whole", target, "GET " + target + " HTTP/1.1\r\n\r\n") &&
              measure("range", target, ranged);
    media_db_destroy();
    fixtures::removeTree(dir);
    return ok ? 0 : 1;
}

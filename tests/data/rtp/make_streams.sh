#!/usr/bin/env bash
# Makes the RTP test streams of the media parsers with Debian's encoders and payloaders
# (GStreamer and FFmpeg), in RFC 4571 framing (2-byte big-endian length before each RTP
# packet), and writes the facts of each stream beside it (NAME.json).
# Needs: gst-launch-1.0 (plugins good/ugly/bad/libav), ffmpeg, ffprobe, python3.
# Usage: tests/data/rtp/make_streams.sh [NAME...]   (rewrites the named streams in this folder,
# all of them when none is named)
set -euo pipefail
only=" $* "
want() { [ "$only" = "  " ] || [[ "$only" == *" $1 "* ]]; }
here=$(cd "$(dirname "$0")" && pwd)
tool="python3 $here/rtp_tool.py"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$here"

# Frame count, key-frame count and size of an elementary stream, as FFmpeg sees it.
probe() {
  ffprobe -v error -select_streams v:0 -show_entries frame=key_frame,width,height -of compact=p=0 "$1" |
    awk -F'[|=]' '/key_frame/ {n++; k+=$2; w=$4; h=$6}
      END {printf "\"frames\": %d, \"key_frames\": %d, \"decoded_width\": %d, \"decoded_height\": %d", n, k, w, h}'
}

# Sends an elementary stream through FFmpeg's RTP muxer and captures it from UDP.
ffmpeg_rtp() {  # input port output [input options...]
  local in=$1 port=$2 out=$3; shift 3
  $tool capture "$port" "$out" 3 &
  local capture_pid=$!
  sleep 1
  ffmpeg -v error -re "$@" -i "$in" -c copy -f rtp -sdp_file "$work/$(basename "$out" .rtp).sdp" \
    "rtp://127.0.0.1:$port?pkt_size=1400"
  wait "$capture_pid"
}

src="videotestsrc pattern=smpte horizontal-speed=4 is-live=false"

# --- H.264 -------------------------------------------------------------------------------
if want h264_gst_sdp_640x360; then
# GStreamer, 640x360 baseline, parameter sets only in the SDP (sprop-parameter-sets); x264's
# SEI travels before the first fragmented IDR.
gst-launch-1.0 -v $src num-buffers=30 ! video/x-raw,format=I420,width=640,height=360,framerate=10/1 \
  ! x264enc key-int-max=10 bframes=0 aud=false option-string=scenecut=0 bitrate=600 ! video/x-h264,profile=baseline,stream-format=avc \
  ! tee name=t ! queue ! rtph264pay config-interval=0 mtu=1400 ! rtpstreampay \
  ! filesink location=h264_gst_sdp_640x360.rtp \
  t. ! queue ! h264parse ! video/x-h264,stream-format=byte-stream ! filesink location="$work/sdp.h264" >"$work/sdp.log"
sprop=$(grep -o 'sprop-parameter-sets=(string)"[^"]*"' "$work/sdp.log" | head -1 | sed 's/^[^"]*"//; s/"$//; s/\\//g')
[ -n "$sprop" ] || { echo "no sprop-parameter-sets" >&2; exit 1; }
$tool facts h264_gst_sdp_640x360.rtp "{\"codec\": \"h264\", \"payloader\": \"rtph264pay config-interval=0\", \
\"sprop_parameter_sets\": \"$sprop\", \"width\": 640, \"height\": 360, $(probe "$work/sdp.h264")}" \
  h264_gst_sdp_640x360.json
fi

if want h264_gst_inband_1080p; then
# GStreamer, 1920x1080 high profile, SPS and PPS in-band in a STAP-A before every IDR.
gst-launch-1.0 -q $src num-buffers=8 ! video/x-raw,format=I420,width=1920,height=1080,framerate=10/1 \
  ! x264enc key-int-max=4 bframes=0 aud=false option-string=scenecut=0 speed-preset=veryfast ! video/x-h264,profile=high,stream-format=byte-stream \
  ! filesink location="$work/inband.h264"
gst-launch-1.0 -q filesrc location="$work/inband.h264" ! h264parse \
  ! video/x-h264,stream-format=avc,alignment=au ! rtph264pay config-interval=-1 aggregate-mode=zero-latency \
  mtu=1400 ! rtpstreampay ! filesink location=h264_gst_inband_1080p.rtp
$tool facts h264_gst_inband_1080p.rtp "{\"codec\": \"h264\", \"payloader\": \"rtph264pay config-interval=-1 \
aggregate-mode=zero-latency\", \"width\": 1920, \"height\": 1080, $(probe "$work/inband.h264")}" \
  h264_gst_inband_1080p.json
fi

if want h264_ffmpeg_720p; then
# FFmpeg (libx264, main profile, in-band parameter sets), 1280x720.
ffmpeg -v error -f lavfi -i testsrc2=size=1280x720:rate=10 -frames:v 20 -c:v libx264 -profile:v main \
  -pix_fmt yuv420p -g 10 -bf 0 -preset veryfast "$work/ff.h264"
ffmpeg_rtp "$work/ff.h264" 47310 h264_ffmpeg_720p.rtp -framerate 10
$tool facts h264_ffmpeg_720p.rtp "{\"codec\": \"h264\", \"payloader\": \"ffmpeg -f rtp\", \"width\": 1280, \
\"height\": 720, $(probe "$work/ff.h264")}" h264_ffmpeg_720p.json
fi

# --- Motion-JPEG -------------------------------------------------------------------------
if want mjpeg_gst_q60_640x480; then
# GStreamer, 4:2:0 (type 1), 640x480, in-band tables (Q 255).
gst-launch-1.0 -q $src num-buffers=10 ! video/x-raw,format=I420,width=640,height=480,framerate=10/1 \
  ! jpegenc quality=60 ! rtpjpegpay mtu=1400 ! rtpstreampay ! filesink location="$work/q60_tables.rtp"
# The same pictures as a camera that signals Q 60 instead of sending tables (neither Debian
# payloader does that); rtp_tool.py checks that the dropped tables are those of Q 60.
$tool jpeg-fixed-q 60 "$work/q60_tables.rtp" mjpeg_gst_q60_640x480.rtp
$tool facts mjpeg_gst_q60_640x480.rtp '{"codec": "jpeg", "payloader": "rtpjpegpay, tables replaced by Q 60", "width": 640, "height": 480, "frames": 10, "key_frames": 10, "decoded_width": 640, "decoded_height": 480}' mjpeg_gst_q60_640x480.json
fi

if want mjpeg_gst_type0_1080p; then
# GStreamer, 4:2:2 (type 0), 1920x1080, in-band tables.
gst-launch-1.0 -q $src num-buffers=4 ! video/x-raw,format=Y42B,width=1920,height=1080,framerate=10/1 \
  ! jpegenc quality=85 ! rtpjpegpay mtu=1400 ! rtpstreampay ! filesink location=mjpeg_gst_type0_1080p.rtp
$tool facts mjpeg_gst_type0_1080p.rtp '{"codec": "jpeg", "payloader": "rtpjpegpay", "width": 1920, "height": 1080, "frames": 4, "key_frames": 4, "decoded_width": 1920, "decoded_height": 1080}' mjpeg_gst_type0_1080p.json
fi

if want mjpeg_ffmpeg_640x480; then
# FFmpeg, 4:2:0 (type 1; its payloader sends no other), in-band tables (Q 255); RTP needs the
# standard Huffman tables.
ffmpeg -v error -f lavfi -i testsrc2=size=640x480:rate=10 -frames:v 10 -c:v mjpeg -huffman default \
  -pix_fmt yuvj420p -q:v 6 -f mjpeg "$work/ff.mjpeg"
ffmpeg_rtp "$work/ff.mjpeg" 47320 mjpeg_ffmpeg_640x480.rtp -framerate 10
$tool facts mjpeg_ffmpeg_640x480.rtp "{\"codec\": \"jpeg\", \"payloader\": \"ffmpeg -f rtp\", \"width\": 640, \
\"height\": 480, $(probe "$work/ff.mjpeg")}" mjpeg_ffmpeg_640x480.json
fi

# --- MPEG-4 ------------------------------------------------------------------------------
if want mpeg4_gst_352x288; then
# GStreamer (avenc_mpeg4, configuration in-band before every I-VOP), 352x288.
gst-launch-1.0 -q $src num-buffers=20 ! video/x-raw,format=I420,width=352,height=288,framerate=10/1 \
  ! avenc_mpeg4 gop-size=10 max-bframes=0 ! mpeg4videoparse ! rtpmp4vpay config-interval=-1 mtu=1400 \
  ! rtpstreampay ! filesink location=mpeg4_gst_352x288.rtp
gst-launch-1.0 -q $src num-buffers=20 ! video/x-raw,format=I420,width=352,height=288,framerate=10/1 \
  ! avenc_mpeg4 gop-size=10 max-bframes=0 ! filesink location="$work/gst.m4v"
$tool facts mpeg4_gst_352x288.rtp "{\"codec\": \"mpeg4\", \"payloader\": \"rtpmp4vpay config-interval=-1\", \
\"width\": 352, \"height\": 288, $(probe "$work/gst.m4v")}" mpeg4_gst_352x288.json
fi

if want mpeg4_ffmpeg_320x180; then
# FFmpeg (mpeg4 encoder, configuration in-band with every I-VOP), 320x180: the driver reports the
# size rounded up to whole macroblocks, 320x192.
ffmpeg -v error -f lavfi -i testsrc2=size=320x180:rate=10 -frames:v 20 -c:v mpeg4 -g 10 -bf 0 -q:v 5 \
  -f m4v "$work/ff.m4v"
ffmpeg_rtp "$work/ff.m4v" 47330 mpeg4_ffmpeg_320x180.rtp -framerate 10
$tool facts mpeg4_ffmpeg_320x180.rtp "{\"codec\": \"mpeg4\", \"payloader\": \"ffmpeg -f rtp\", \"width\": 320, \
\"height\": 192, $(probe "$work/ff.m4v")}" mpeg4_ffmpeg_320x180.json
fi

# GStreamer's payloader as it is by default (no max-ptime): small VOPs of a still picture share
# packets, several whole VOPs to one marker (RFC 3016 allows it), 176x144.
if want mpeg4_gst_aggregated_176x144; then
gst-launch-1.0 -q videotestsrc pattern=smpte num-buffers=20 ! video/x-raw,format=I420,width=176,height=144,framerate=10/1 \
  ! avenc_mpeg4 gop-size=10 max-bframes=0 ! mpeg4videoparse ! rtpmp4vpay config-interval=-1 mtu=1400 \
  ! rtpstreampay ! filesink location=mpeg4_gst_aggregated_176x144.rtp
gst-launch-1.0 -q videotestsrc pattern=smpte num-buffers=20 ! video/x-raw,format=I420,width=176,height=144,framerate=10/1 \
  ! avenc_mpeg4 gop-size=10 max-bframes=0 ! filesink location="$work/agg.m4v"
$tool facts mpeg4_gst_aggregated_176x144.rtp "{\"codec\": \"mpeg4\", \"payloader\": \"rtpmp4vpay config-interval=-1\", \
\"width\": 176, \"height\": 144, $(probe "$work/agg.m4v")}" mpeg4_gst_aggregated_176x144.json
fi

# FFmpeg's RTP muxer relaying an MP4 file (-c copy): the configuration headers only in the SDP
# ("config="), every I-VOP led by a group-of-VOP header, 320x180 (reported as 320x192).
if want mpeg4_ffmpeg_sdp_config_320x180; then
ffmpeg -v error -f lavfi -i testsrc2=size=320x180:rate=10 -frames:v 20 -c:v mpeg4 -g 10 -bf 0 -q:v 5 "$work/ffg.mp4"
ffmpeg_rtp "$work/ffg.mp4" 47340 mpeg4_ffmpeg_sdp_config_320x180.rtp
config=$(grep -o 'config=[0-9A-Fa-f]*' "$work/mpeg4_ffmpeg_sdp_config_320x180.sdp" | head -1 | cut -d= -f2)
[ -n "$config" ] || { echo "no config= in the SDP" >&2; exit 1; }
$tool facts mpeg4_ffmpeg_sdp_config_320x180.rtp "{\"codec\": \"mpeg4\", \"payloader\": \"ffmpeg -c copy -f rtp\", \
\"sdp_config\": \"$config\", \"width\": 320, \"height\": 192, $(probe "$work/ffg.mp4")}" \
  mpeg4_ffmpeg_sdp_config_320x180.json
fi

ls -l "$here"

// VC-1 picture headers: how many frames or fields each picture is displayed for, by the
// sequence flags (PULLDOWN, INTERLACE, TFCNTRFLAG, PSF) and the picture's own fields.
#include <gtest/gtest.h>

#include "vc1_units.h"
#include "video/vc1_headers.h"
#include "video/video.h"

using namespace kt;

TEST(Vc1Headers, DisplayCountFollowsThePictureHeaderSyntax) {
    using enum vc1_picture;
    struct row {
        bool pulldown, interlace, tfcntr, psf;
        vc1_picture type;
        uint8_t fcm, rptfrm;  // fcm 3: a field pair, FPTYPE in place of the picture type
        bool rff;
        uint32_t want;
    };
    const row rows[] = {
        // Without PULLDOWN nothing after the picture type and counter is read.
        {false, false, false, false, P, 0, 3, true, 1}, {false, true, true, false, I, 3, 3, true, 2},
        // RPTFRM with INTERLACE 0 or PSF 1 (then counted in fields), 8 bits later with TFCNTR.
        {true, false, false, false, P, 0, 2, false, 3}, {true, false, false, false, B, 0, 1, false, 2},
        {true, false, false, false, I, 0, 3, false, 4}, {true, false, false, false, BI, 0, 2, false, 3},
        {true, false, false, false, skipped, 0, 3, false, 4}, {true, false, true, false, skipped, 0, 2, false, 3},
        {true, true, false, true, I, 2, 1, false, 4}, {true, true, true, true, P, 0, 2, false, 6},
        // TFF RFF after FCM and the picture type, or after FPTYPE.
        {true, true, false, false, P, 0, 0, true, 3}, {true, true, false, false, B, 2, 0, false, 2},
        {true, true, false, false, skipped, 2, 0, true, 3}, {true, true, false, false, I, 3, 0, true, 3},
        {true, true, true, false, BI, 2, 0, true, 3}, {true, true, true, false, P, 3, 0, false, 2},
    };
    for (const row& r : rows) {
        vc1_sequence_layout s;
        s.pulldown = r.pulldown, s.interlace = r.interlace, s.tfcntr = r.tfcntr, s.psf = r.psf;
        vc1_frame_layout f;
        f.type = r.type, f.fcm = r.fcm, f.fptype = 5, f.rptfrm = r.rptfrm, f.rff = r.rff, f.tfcntr = 0xA5;
        f.tff = !r.rff;  // the opposite of RFF just before it, so that a shift by one shows
        const bytes frame = vc1_frame(s, f);
        vc1_state st;
        st.pulldown = r.pulldown, st.interlace = r.interlace, st.tfcntr_flag = r.tfcntr, st.psf = r.psf;
        const uint32_t header = uint32_t(frame[4]) << 16 | uint32_t(frame[5]) << 8 | frame[6];
        EXPECT_EQ(vc1_display_count(st, header), r.want) << "row " << (&r - rows);
    }
}

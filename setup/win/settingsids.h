// The settings window's dialog and its controls, as the dialog's template
// (settings.rc), its code and the tests that drive it by messages name them.
#pragma once

#define IDD_SETTINGS 100
#define IDC_BANK 101
#define IDC_BROWSE 102
#define IDC_VOLUME 103
#define IDC_GAIN 104
#define IDC_POLYPHONY 105
#define IDC_LATENCY 106
#define IDC_REVERB 107
#define IDC_CHORUS 108
#define IDC_DEVICE 109
#define IDC_STATE 110
#define IDC_PLAY 111
#define IDC_REPAIR 112
#define IDC_WHERE 113
#define IDC_STATUS 114
#define IDC_APPLY 115
// The volume slider's steps: position N is gain N/20, up to 2.
#define KV_VOLUME_STEPS 40
#define KV_VOLUME_STEP 0.05

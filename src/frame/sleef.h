// The scalar SLEEF functions every build calls (each build's header declares its own vector
// forms), declared here rather than through <sleef.h> so that no C library header reaches the
// freestanding build. The names are stable across SLEEF 3.5 and later; the "purec" scalar forms
// compute what 3.5's unsuffixed scalar functions compute, without the run-time dispatch (and its
// libc imports) of later releases.
#pragma once

extern "C" {

float Sleef_sinf1_u35purec(float);
float Sleef_cosf1_u35purec(float);
float Sleef_log10f1_u10purec(float);
float Sleef_logf1_u35purec(float);
float Sleef_expf1_u10purec(float);
float Sleef_powf1_u10purec(float, float);
}

// Links libvocetta_voice.so: where VOCETTA_VOICE_LIB_DIR says (a build tree's), else where the
// system keeps it (the libvocetta-voice0 package).
fn main() {
    println!("cargo:rerun-if-env-changed=VOCETTA_VOICE_LIB_DIR");
    if let Ok(dir) = std::env::var("VOCETTA_VOICE_LIB_DIR") {
        println!("cargo:rustc-link-search=native={}", dir);
    }
    println!("cargo:rustc-link-lib=dylib=vocetta_voice");
}

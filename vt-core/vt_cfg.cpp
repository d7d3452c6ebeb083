// Transport settings: creation, the checked setters and release. Settings are
// written before any channel is made from them; afterwards only key negotiation's
// inherit step writes the Diffie-Hellman parameters, on the reader thread.
#include "vt_cfg.h"

#include <cstdlib>
#include <new>

#include "vt_crypt.h"
#include "vt_syslog.h"

int vt_cfg_init(vt_cfg **slot)
{
    if (!slot || *slot)
        return 1;
    *slot = new (std::nothrow) vt_cfg{};
    return *slot ? 0 : 1;
}

int vt_cfg_deit(vt_cfg **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_cfg *cfg = *slot;
    vt_string_free(&cfg->prime);
    vt_string_free(&cfg->base);
    free(cfg->certificate);
    delete cfg;
    *slot = nullptr;
    return 0;
}

int vt_cfg_set_caller(vt_cfg *cfg, vt_handle_fn caller, size_t stack_size)
{
    if (!cfg || !caller)
        return VT_ERR("invalid config or caller object");
    if (stack_size == 0)
        return VT_ERR("stack size must be non-zero");
    cfg->caller = caller;
    cfg->stack_size = stack_size;
    return 0;
}

int vt_cfg_set_init(vt_cfg *cfg, mg_init_handler init, void *user)
{
    if (!cfg || !init)
        return VT_ERR("invalid paramaters");
    cfg->init = init;
    cfg->init_user_data = user;
    return 0;
}

int vt_cfg_set_cycler(vt_cfg *cfg, vt_cycler_cb cycler, unsigned milliseconds)
{
    if (!cfg || !cycler)
        return VT_ERR("invalid config or cycler object");
    if (milliseconds < vt_cfg_cycler_min_ms)
        return VT_ERR("cycler time must be atleast 1000 milliseconds");
    cfg->cycler = cycler;
    cfg->cycler_ms = milliseconds;
    return 0;
}

int vt_cfg_set_closed(vt_cfg *cfg, vt_closed_cb closed)
{
    if (!cfg || !closed)
        return VT_ERR("invalid config or closed object");
    cfg->closed = closed;
    return 0;
}

int vt_cfg_set_diffie(vt_cfg *cfg, const char *path)
{
    if (!cfg || !path)
        return VT_ERR("invalid config or path object");
    if (cfg->certificate || vt_dh_load(path, &cfg->certificate, &cfg->certificate_length))
        return VT_ERR("failed to load certificate %s", path);
    return 0;
}

int vt_cfg_set_diffie_buf(vt_cfg *cfg, const uint8_t *der, size_t length)
{
    if (!cfg || !der || length == 0)
        return VT_ERR("invalid config or der object");
    uint8_t *copy = nullptr;
    if (buf_copy(&copy, der, length))
        return VT_ERR("failed to copy der buffer");
    free(cfg->certificate);
    cfg->certificate = copy;
    cfg->certificate_length = length;
    return 0;
}

int vt_cfg_set_diffie_link(vt_cfg *cfg)
{
    if (!cfg)
        return VT_ERR("invalid config object");
    cfg->inherit = 1;
    return 0;
}

int vt_cfg_set_diffie_raw(vt_cfg *cfg, const uint8_t *prime, size_t prime_length, const uint8_t *base,
                          size_t base_length)
{
    if (!cfg || !prime || !base)
        return VT_ERR("invalid config, prime, and base object");
    if (prime_length == 0)
        return VT_ERR("prime buffer is empty");
    if (base_length == 0)
        return VT_ERR("base buffer is empty");
    // Both copies are made before either replaces the current pair, so a failure
    // leaves the settings as they were.
    vt_string new_prime{}, new_base{};
    if (vt_string_copy(&new_prime, prime, prime_length))
        return VT_ERR("failed to copy prime buffer");
    if (vt_string_copy(&new_base, base, base_length)) {
        vt_string_free(&new_prime);
        return VT_ERR("failed to copy base buffer");
    }
    vt_string_free(&cfg->prime);
    vt_string_free(&cfg->base);
    cfg->prime = new_prime;
    cfg->base = new_base;
    return 0;
}

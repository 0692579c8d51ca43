#include "load_report.h"

#include <iomanip>
#include <sstream>

#include "formatting.h"

namespace doip_tools {
LoadError classify(UdsExchange::Outcome outcome) {
    using Outcome = UdsExchange::Outcome;
    switch (outcome) {
        case Outcome::positive:
        case Outcome::no_response_expected:
            return LoadError::none;
        case Outcome::negative:
            return LoadError::nrc;
        case Outcome::no_ack:
        case Outcome::no_response:
        case Outcome::pending_too_long:
            return LoadError::timeout;
        case Outcome::nacked:
        case Outcome::generic_nack:
            return LoadError::nack;
        case Outcome::send_failed:
        case Outcome::connection_lost:
            return LoadError::closed;
        case Outcome::wrong_version:
            break;
    }
    return LoadError::other;
}

void LoadFigures::count_error(LoadError kind) {
    switch (kind) {
        case LoadError::timeout:
            ++timeouts;
            break;
        case LoadError::nack:
            ++nacks;
            break;
        case LoadError::nrc:
            ++nrcs;
            break;
        case LoadError::closed:
            ++closed;
            break;
        case LoadError::other:
            ++other;
            break;
        case LoadError::none:
            break;
    }
}

void LoadFigures::merge(const LoadFigures& o) {
    activation_failures += o.activation_failures;
    if (first_activation_failure.empty()) {
        first_activation_failure = o.first_activation_failure;
    }
    exchanges += o.exchanges;
    completed += o.completed;
    timeouts += o.timeouts;
    nacks += o.nacks;
    nrcs += o.nrcs;
    closed += o.closed;
    other += o.other;
    if (first_error.empty()) {
        first_error = o.first_error;
    }
    latency.merge(o.latency);
}

void print_load_table(const LoadFigures& f, std::ostream& out) {
    const auto row = [&out](const char* name, const std::string& value) {
        out << "  " << std::left << std::setw(24) << name << value << "\n";
    };
    const auto ms = [](double v) { return fixed_text(v, 3) + " ms"; };
    row("connections activated",
        std::to_string(f.connections_activated) + " of " + std::to_string(f.connections_requested));
    row("seconds", fixed_text(f.seconds, 2));
    row("exchanges", std::to_string(f.exchanges));
    row("completed", std::to_string(f.completed));
    row("exchanges/s", fixed_text(f.exchanges_per_second(), 1));
    row("errors", std::to_string(f.errors()));
    row("  timeouts", std::to_string(f.timeouts));
    row("  NACKs", std::to_string(f.nacks));
    row("  NRCs", std::to_string(f.nrcs));
    row("  closed connections", std::to_string(f.closed));
    row("  other", std::to_string(f.other));
    row("  activation failures", std::to_string(f.activation_failures));
    row("latency p50", ms(f.latency.percentile(50)));
    row("latency p90", ms(f.latency.percentile(90)));
    row("latency p99", ms(f.latency.percentile(99)));
    row("latency max", ms(f.latency.max_ms()));
    if (!f.first_activation_failure.empty()) {
        out << "first activation failure: " << f.first_activation_failure << "\n";
    }
    if (!f.first_error.empty()) {
        out << "first exchange error: " << f.first_error << "\n";
    }
}

std::string load_json(const LoadFigures& f) {
    std::ostringstream j;
    j << "{\n"
      << "  \"connections_requested\": " << f.connections_requested << ",\n"
      << "  \"connections_activated\": " << f.connections_activated << ",\n"
      << "  \"seconds\": " << fixed_text(f.seconds, 3) << ",\n"
      << "  \"exchanges\": " << f.exchanges << ",\n"
      << "  \"completed\": " << f.completed << ",\n"
      << "  \"exchanges_per_second\": " << fixed_text(f.exchanges_per_second(), 1) << ",\n"
      << "  \"errors\": {\"total\": " << f.errors() << ", \"timeouts\": " << f.timeouts
      << ", \"nacks\": " << f.nacks << ", \"nrcs\": " << f.nrcs << ", \"closed\": " << f.closed
      << ", \"other\": " << f.other << ", \"activation_failures\": " << f.activation_failures << "},\n"
      << "  \"first_activation_failure\": " << json_string(f.first_activation_failure) << ",\n"
      << "  \"first_error\": " << json_string(f.first_error) << ",\n"
      << "  \"latency_ms\": {\"samples\": " << f.latency.count()
      << ", \"p50\": " << fixed_text(f.latency.percentile(50), 3)
      << ", \"p90\": " << fixed_text(f.latency.percentile(90), 3)
      << ", \"p99\": " << fixed_text(f.latency.percentile(99), 3)
      << ", \"max\": " << fixed_text(f.latency.max_ms(), 3) << "}\n"
      << "}\n";
    return j.str();
}

}  // namespace doip_tools
